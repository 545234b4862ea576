#include "pipes/pipe_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t At16(const Bytes& b, size_t o) {
  return static_cast<uint16_t>(b[o] | b[o + 1] << 8);
}
uint32_t At32(const Bytes& b, size_t o) {
  return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | static_cast<uint32_t>(b[o + 3]) << 24;
}
uint64_t At64(const Bytes& b, size_t o) {
  return At32(b, o) | static_cast<uint64_t>(At32(b, o + 4)) << 32;
}

TSystemTime Time(uint16_t base) {
  TSystemTime t;
  t.wYear = static_cast<uint16_t>(base + 2000);
  t.wMonth = static_cast<uint16_t>(base + 1);
  t.wDayOfWeek = static_cast<uint16_t>(base + 2);
  t.wDay = static_cast<uint16_t>(base + 3);
  t.wHour = static_cast<uint16_t>(base + 4);
  t.wMinute = static_cast<uint16_t>(base + 5);
  t.wSecond = static_cast<uint16_t>(base + 6);
  t.wMilliseconds = static_cast<uint16_t>(base + 700);
  return t;
}

void ExpectTimeAt(const Bytes& b, size_t o, uint16_t base) {
  const uint16_t expected[8] = {
      static_cast<uint16_t>(base + 2000), static_cast<uint16_t>(base + 1),
      static_cast<uint16_t>(base + 2),    static_cast<uint16_t>(base + 3),
      static_cast<uint16_t>(base + 4),    static_cast<uint16_t>(base + 5),
      static_cast<uint16_t>(base + 6),    static_cast<uint16_t>(base + 700)};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(At16(b, o + 2 * i), expected[i]) << "field " << i;
}

bool SameTime(const TSystemTime& a, const TSystemTime& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek &&
         a.wDay == b.wDay && a.wHour == b.wHour && a.wMinute == b.wMinute &&
         a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

TEST(PipeHeader, RequestHasTheDocumentedBytes) {
  Bytes bytes(kPipeHeaderSize, 0xEE);
  EncodePipeHeader(MakePipeHeader(kReqGetStats), std::span<uint8_t, kPipeHeaderSize>(bytes));
  Bytes expected = {0x52, 0x45, 0x51, 0x47, 0x45, 0x54, 0x53, 0x54, 0x41, 0x54, 0x53};
  expected.resize(28, 0);
  EXPECT_EQ(bytes, expected);
}

TEST(PipeHeader, FieldsAreLittleEndianAtTheirOffsetsAndRoundTrip) {
  TPipeMessageHeader header = MakePipeHeader(kAnsReqUnknown, 0x01020304, -2);
  header.Reserved = 0x0A0B0C0D;
  Bytes bytes(kPipeHeaderSize);
  EncodePipeHeader(header, std::span<uint8_t, kPipeHeaderSize>(bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 14), std::string("ANSREQUNKNOWN\0", 14));
  EXPECT_EQ(bytes[14], 0);
  EXPECT_EQ(bytes[15], 0);
  EXPECT_EQ(At32(bytes, 16), 0xFFFFFFFEu);
  EXPECT_EQ(At32(bytes, 20), 0x0A0B0C0Du);
  EXPECT_EQ((Bytes{bytes[24], bytes[25], bytes[26], bytes[27]}), (Bytes{4, 3, 2, 1}));

  TPipeMessageHeader back = DecodePipeHeader(std::span<const uint8_t, kPipeHeaderSize>(bytes));
  EXPECT_EQ(PipeCommandName(back.Command), "ANSREQUNKNOWN");
  EXPECT_EQ(back.ErrorCode, -2);
  EXPECT_EQ(back.Reserved, 0x0A0B0C0D);
  EXPECT_EQ(back.DataLength, 0x01020304u);
}

TEST(PipeHeader, CommandMatchingIsExactUpToTheTerminatingZero) {
  struct Case {
    const char* label;
    std::string field;  // the 16 bytes of the command field
    bool matches;
  };
  const Case cases[] = {
      {"exact", std::string("REQGETSTATS\0\0\0\0\0", 16), true},
      {"zero then junk", std::string("REQGETSTATS\0junk", 16), true},
      {"lower case", std::string("reqgetstats\0\0\0\0\0", 16), false},
      {"one more letter", std::string("REQGETSTATSX\0\0\0\0", 16), false},
      {"no zero in the field", std::string("REQGETSTATSXXXXX", 16), false},
      {"shorter name", std::string("REQGETSTAT\0\0\0\0\0\0", 16), false},
      {"empty", std::string(16, '\0'), false},
  };
  for (const Case& c : cases) {
    std::span<const uint8_t, kPipeCommandSize> field(
        reinterpret_cast<const uint8_t*>(c.field.data()), kPipeCommandSize);
    EXPECT_EQ(PipeCommandIs(field, kReqGetStats), c.matches) << c.label;
  }
}

TEST(PipeStatistics, FieldsSitAtTheirOffsetsAndRoundTrip) {
  TPipeStatistics st;
  st.StartedAt = Time(10);
  st.Connections = 0x11111111;
  st.ConnectErrors = 0x22222222;
  st.Requests = 0x33333333;
  st.BytesReceived = 0x0102030405060708ull;
  st.Reserved = 0;
  st.Answers = 0x44444444;
  st.BytesSent = 0x8070605040302010ull;
  st.WriteErrors = 0x55555555;
  Bytes bytes(kPipeStatisticsSize, 0xEE);
  EncodePipeStatistics(st, std::span<uint8_t, kPipeStatisticsSize>(bytes));

  ExpectTimeAt(bytes, 0, 10);
  EXPECT_EQ(At32(bytes, 16), 0x11111111u);
  EXPECT_EQ(At32(bytes, 20), 0x22222222u);
  EXPECT_EQ(At32(bytes, 24), 0x33333333u);
  EXPECT_EQ(At64(bytes, 28), 0x0102030405060708ull);
  EXPECT_EQ(At32(bytes, 36), 0u);
  EXPECT_EQ(At32(bytes, 40), 0x44444444u);
  EXPECT_EQ(At64(bytes, 44), 0x8070605040302010ull);
  EXPECT_EQ(At32(bytes, 52), 0x55555555u);

  TPipeStatistics back = DecodePipeStatistics(std::span<const uint8_t, kPipeStatisticsSize>(bytes));
  EXPECT_TRUE(SameTime(back.StartedAt, st.StartedAt));
  EXPECT_EQ(back.Connections, st.Connections);
  EXPECT_EQ(back.ConnectErrors, st.ConnectErrors);
  EXPECT_EQ(back.Requests, st.Requests);
  EXPECT_EQ(back.BytesReceived, st.BytesReceived);
  EXPECT_EQ(back.Answers, st.Answers);
  EXPECT_EQ(back.BytesSent, st.BytesSent);
  EXPECT_EQ(back.WriteErrors, st.WriteErrors);
}

TEST(StatusBlock, FieldsSitAtTheirOffsetsAndRoundTrip) {
  TAlrSrvStatusBlock b;
  b.BlockSize = kAlrSrvStatusBlockSize;
  b.VerMajor = 0x0102;
  b.VerMinor = 0x0304;
  b.VerRelease = 0x0506;
  b.Busy = 1;
  b.LastEventTime = Time(20);
  b.Reserved1 = 0x0A0B0C0D;
  b.LastErrorTime = Time(30);
  b.Reserved2 = -1;
  b.NextCheckTime = Time(40);
  b.LastReportTime = Time(50);
  SetStatusText(b.LastEventText, "Service started");
  SetStatusText(b.LastErrorText, "Database error");
  Bytes bytes(kAlrSrvStatusBlockSize, 0xEE);
  EncodeStatusBlock(b, std::span<uint8_t, kAlrSrvStatusBlockSize>(bytes));

  EXPECT_EQ(At16(bytes, 0), 337);
  EXPECT_EQ(At16(bytes, 2), 0x0102);
  EXPECT_EQ(At16(bytes, 4), 0x0304);
  EXPECT_EQ(At16(bytes, 6), 0x0506);
  EXPECT_EQ(bytes[8], 1);
  ExpectTimeAt(bytes, 9, 20);
  EXPECT_EQ(At32(bytes, 25), 0x0A0B0C0Du);
  ExpectTimeAt(bytes, 29, 30);
  EXPECT_EQ(At32(bytes, 45), 0xFFFFFFFFu);
  ExpectTimeAt(bytes, 49, 40);
  ExpectTimeAt(bytes, 65, 50);
  std::string event(bytes.begin() + 81, bytes.begin() + 209);
  std::string error(bytes.begin() + 209, bytes.end());
  EXPECT_EQ(event, "Service started" + std::string(128 - 15, '\0'));
  EXPECT_EQ(error, "Database error" + std::string(128 - 14, '\0'));

  TAlrSrvStatusBlock back =
      DecodeStatusBlock(std::span<const uint8_t, kAlrSrvStatusBlockSize>(bytes));
  EXPECT_EQ(back.BlockSize, 337);
  EXPECT_EQ(back.VerMajor, 0x0102);
  EXPECT_EQ(back.VerMinor, 0x0304);
  EXPECT_EQ(back.VerRelease, 0x0506);
  EXPECT_EQ(back.Busy, 1);
  EXPECT_TRUE(SameTime(back.LastEventTime, b.LastEventTime));
  EXPECT_EQ(back.Reserved1, 0x0A0B0C0D);
  EXPECT_TRUE(SameTime(back.LastErrorTime, b.LastErrorTime));
  EXPECT_EQ(back.Reserved2, -1);
  EXPECT_TRUE(SameTime(back.NextCheckTime, b.NextCheckTime));
  EXPECT_TRUE(SameTime(back.LastReportTime, b.LastReportTime));
  EXPECT_EQ(StatusText(back.LastEventText), "Service started");
  EXPECT_EQ(StatusText(back.LastErrorText), "Database error");
}

TEST(StatusBlock, TextsAreCutAt127CharactersAndTerminated) {
  const size_t lengths[] = {0, 1, 126, 127, 128, 200};
  for (size_t length : lengths) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
    const size_t kept = std::min<size_t>(length, 127);

    TAlrSrvStatusBlock b;
    SetStatusText(b.LastEventText, text);
    // A record filled without SetStatusText is cut by the encoder all the same.
    b.LastErrorText.fill('x');
    std::copy_n(text.begin(), std::min<size_t>(length, 128), b.LastErrorText.begin());
    Bytes bytes(kAlrSrvStatusBlockSize);
    EncodeStatusBlock(b, std::span<uint8_t, kAlrSrvStatusBlockSize>(bytes));

    EXPECT_EQ(StatusText(b.LastEventText), text.substr(0, kept)) << length;
    EXPECT_EQ(std::string(bytes.begin() + 81, bytes.begin() + 81 + kept), text.substr(0, kept));
    EXPECT_EQ(bytes[81 + kept], 0) << length;
    EXPECT_EQ(bytes[81 + 127], 0) << length;
    // The 'x' filling leaves no zero in the field: its first 127 bytes go.
    EXPECT_EQ(std::string(bytes.begin() + 209, bytes.begin() + 209 + 127),
              (text + std::string(128, 'x')).substr(0, 127))
        << length;
    EXPECT_EQ(bytes[209 + 127], 0) << length;
  }
}

TEST(StatusBlock, ATextTooLongForItsFieldEndsInAnEllipsis) {
  const std::string a126(126, 'a');
  const struct {
    const char* name;
    std::string text;
    std::string shown;
  } cases[] = {
      {"empty", "", ""},
      {"127 characters, whole", a126 + "z", a126 + "z"},
      {"128 characters", a126 + "yz", a126 + "\x85"},
      {"200 characters", a126 + std::string(74, 'b'), a126 + "\x85"},
      {"a line break before the cut", std::string(124, 'a') + "\r\n" + std::string(50, 'b'),
       std::string(124, 'a') + "\x85"},
      {"blanks before the cut", std::string(120, 'a') + std::string(10, ' ') + "b",
       std::string(120, 'a') + "\x85"},
      {"blanks only", std::string(130, ' '), "\x85"},
      {"127 characters up to a zero byte", a126 + "z" + std::string(1, '\0') + "more", a126 + "z"},
      {"a zero byte early", std::string("abc\0", 4) + std::string(200, 'b'), "abc"},
  };
  for (const auto& c : cases) {
    TAlrSrvStatusBlock b;
    b.LastErrorText.fill('x');
    SetStatusTextEllipsized(b.LastErrorText, c.text);
    EXPECT_EQ(StatusText(b.LastErrorText), c.shown) << c.name;
    // Zeros to the end of the field.
    EXPECT_EQ(std::string(b.LastErrorText.begin() + c.shown.size(), b.LastErrorText.end()),
              std::string(kStatusTextSize - c.shown.size(), '\0'))
        << c.name;
  }
}

TEST(StatusBlock, ATextStopsAtAZeroByteInIt) {
  TAlrSrvStatusBlock b;
  SetStatusText(b.LastEventText, std::string_view("abc\0def", 7));
  EXPECT_EQ(StatusText(b.LastEventText), "abc");
  EXPECT_EQ(b.LastEventText[4], '\0');
}

}  // namespace
