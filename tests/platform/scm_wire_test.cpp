// The frames that svcmgr, its clients and its services exchange, over a real
// socket pair.
#include "platform/scm_wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/syserror.h"

namespace {

using namespace platform;
using scmwire::FrameBuffer;

class FrameBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    writer_ = pair[0];
    reader_ = pair[1];
  }
  void TearDown() override {
    if (writer_ >= 0) ::close(writer_);
    ::close(reader_);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(::send(writer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  int writer_ = -1;
  int reader_ = -1;
};

TEST_F(FrameBufferTest, FramesComeWholeHoweverTheBytesAreSplit) {
  FrameBuffer frames;
  std::string payload;
  EXPECT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::NeedMore) << "nothing sent";
  std::string both = scmwire::Frame("first") + scmwire::Frame("");
  Write(both.substr(0, 2));
  EXPECT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::NeedMore) << "half a length";
  Write(both.substr(2, 5));
  EXPECT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::NeedMore) << "half a payload";
  Write(both.substr(7));
  ASSERT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::Frame);
  EXPECT_EQ(payload, "first");
  ASSERT_TRUE(frames.Next(payload)) << "the empty frame read with it";
  EXPECT_EQ(payload, "");
  EXPECT_FALSE(frames.Next(payload));
  ::close(writer_);
  writer_ = -1;
  EXPECT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::Closed);
}

TEST_F(FrameBufferTest, ManyLongestFramesSentAtOnceAllArriveIntact) {
  // More than the buffer holds, less than the socket does: the reader takes
  // them in turns, losing none.
  constexpr int kFrames = 5;
  for (int i = 0; i < kFrames; ++i) {
    std::string payload(scmwire::kMaxFrame, static_cast<char>('a' + i));
    ASSERT_EQ(scmwire::SendFrame(writer_, payload), 0u);
  }
  FrameBuffer frames;
  std::vector<std::string> got;
  std::string payload;
  for (int reads = 0; reads < 4 * kFrames && got.size() < kFrames; ++reads) {
    FrameBuffer::Result result = frames.Read(reader_, payload);
    ASSERT_EQ(result, FrameBuffer::Result::Frame);
    do {
      got.push_back(payload);
    } while (frames.Next(payload));
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(got[i], std::string(scmwire::kMaxFrame, static_cast<char>('a' + i))) << i;
  }
}

TEST_F(FrameBufferTest, LengthAboveTheLimitIsAnError) {
  FrameBuffer frames;
  std::string payload;
  Write(scmwire::Writer().U32(static_cast<uint32_t>(scmwire::kMaxFrame) + 1).Data() + "xyz");
  EXPECT_EQ(frames.Read(reader_, payload), FrameBuffer::Result::Error);
  EXPECT_EQ(scmwire::SendFrame(writer_, std::string(scmwire::kMaxFrame + 1, 'x')), kErrorMoreData)
      << "nor is one sent";
}

TEST(ScmWireTest, FieldsReadBackAndAShortMessageFailsForGood) {
  ServiceStatus status;
  status.dwCurrentState = kServiceRunning;
  status.dwCheckPoint = 7;
  status.dwWaitHint = 5000;
  std::string data =
      scmwire::Writer(scmwire::Op::Control).Text("VazidEre").U32(0x37).Status(status).Data();
  scmwire::Reader reader(data);
  scmwire::Op op{};
  std::string name;
  uint32_t access = 0;
  ServiceStatus back;
  ASSERT_TRUE(reader.Op(op) && reader.Text(name) && reader.U32(access) && reader.Status(back));
  EXPECT_EQ(op, scmwire::Op::Control);
  EXPECT_EQ(name, "VazidEre");
  EXPECT_EQ(access, 0x37u);
  EXPECT_EQ(back.dwCurrentState, kServiceRunning);
  EXPECT_EQ(back.dwCheckPoint, 7u);
  EXPECT_EQ(back.dwWaitHint, 5000u);
  uint32_t more = 0;
  EXPECT_FALSE(reader.U32(more)) << "past the end";

  // A text that claims more bytes than follow fails, and so does every read after it.
  std::string cut = scmwire::Writer().U32(100).Data() + "abc" + scmwire::Writer().U32(1).Data();
  scmwire::Reader bad(cut);
  EXPECT_FALSE(bad.Text(name));
  EXPECT_FALSE(bad.U32(more));
}

}  // namespace
