#include "pipes/alr_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <future>

#include "pipe_test_support.h"
#include "platform/profile.h"
#include "platform/syserror.h"

namespace {

using pipetest::Bytes;
using pipetest::LogCapture;

// A reply header written out by hand: the name padded with zeros to 16
// bytes, then ErrorCode, Reserved and DataLength, little-endian.
Bytes Golden(const std::string& name, uint32_t errorCode, uint32_t dataLength) {
  Bytes bytes(name.begin(), name.end());
  bytes.resize(16, 0);
  for (uint32_t value : {errorCode, 0u, dataLength}) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  return bytes;
}

Bytes Head(const Bytes& answer) {
  return Bytes(answer.begin(), answer.begin() + std::min<size_t>(answer.size(), 28));
}

Bytes Raw(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Filler(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

std::string Text(const Bytes& bytes, size_t from, size_t count) {
  return std::string(bytes.begin() + from, bytes.begin() + from + count);
}

class ControlPipe : public ::testing::Test {
 protected:
  ControlPipe()
      : name_(pipetest::UniquePipeName("Control")),
        config_(dir_.File("vigilo.ini")),
        control_(std::make_unique<TAlrSrvControl>(name_, 1, config_)) {
    control_->OnConfigRead.Set([this](TAlrSrvControl& sender) {
      EXPECT_EQ(&sender, control_.get());
      ++reads_;
    });
    control_->OnConfigWritten.Set([this](TAlrSrvControl&) { ++writes_; });
  }

  pipetest::Answer Send(const Bytes& request) { return pipetest::CallWhenReady(name_, request); }

  LogCapture log_;
  pipetest::TempDir dir_;
  std::string name_;
  std::string config_;
  std::atomic<int> reads_{0};
  std::atomic<int> writes_{0};
  std::unique_ptr<TAlrSrvControl> control_;
};

TEST_F(ControlPipe, GetConfigSendsTheWholeFileAsStored) {
  const size_t sizes[] = {0, 1, 500, kPipeMaxPayload};
  int expectedReads = 0;
  for (size_t size : sizes) {
    Bytes content = Filler(size, static_cast<uint8_t>(size));
    pipetest::WriteFileBytes(config_, std::string(content.begin(), content.end()));
    pipetest::Answer answer = Send(pipetest::Request("REQGETCONFIG"));
    ASSERT_EQ(answer.error, 0u) << size;
    ASSERT_EQ(answer.bytes.size(), 28 + size);
    EXPECT_EQ(Head(answer.bytes), Golden("ANSGETCONFIG", 0, static_cast<uint32_t>(size)));
    EXPECT_EQ(Bytes(answer.bytes.begin() + 28, answer.bytes.end()), content) << size;
    EXPECT_EQ(reads_.load(), ++expectedReads);
  }
  EXPECT_EQ(control_->GetConfigFileName(), config_);
}

TEST_F(ControlPipe, GetConfigOfAFileThatCannotBeReadWholeFailsWithoutData) {
  struct Case {
    const char* label;
    std::function<void(const std::string&)> prepare;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}},
      {"longer than a payload",
       [](const std::string& path) {
         pipetest::WriteFileBytes(path, std::string(kPipeMaxPayload + 1, 'x'));
       }},
      {"20000 bytes",
       [](const std::string& path) { pipetest::WriteFileBytes(path, std::string(20000, 'y')); }},
      {"a folder", [](const std::string& path) { ::mkdir(path.c_str(), 0755); }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(config_);
    c.prepare(config_);
    pipetest::Answer answer = Send(pipetest::Request("REQGETCONFIG"));
    ASSERT_EQ(answer.error, 0u) << c.label;
    EXPECT_EQ(answer.bytes, Golden("ANSGETCONFIG", 1, 0)) << c.label;
  }
  EXPECT_EQ(reads_.load(), 0);
}

TEST_F(ControlPipe, SetConfigWritesExactlyDataLengthBytesWhenTheyAllCame) {
  struct Case {
    uint32_t dataLength;
    size_t messageSize;
    bool complete;
  };
  const Case cases[] = {
      {100, 100, false},       {100, 200, true},     {0, 28, true},
      {0xFFFFFFFF, 28, false}, {16356, 16384, true}, {500, 528, true},
      {500, 300, false},       {1, 28, false},       {0x80000000, 16384, false},
  };
  const std::string old = "[Old]\r\nKey=1\r\n";
  int expectedWrites = 0;
  for (const Case& c : cases) {
    pipetest::WriteFileBytes(config_, old);
    Bytes payload = Filler(c.messageSize - 28, static_cast<uint8_t>(c.messageSize));
    pipetest::Answer answer = Send(pipetest::Request("REQSETCONFIG", c.dataLength, payload));
    std::string label = std::to_string(c.dataLength) + "/" + std::to_string(c.messageSize);
    ASSERT_EQ(answer.error, 0u) << label;
    EXPECT_EQ(answer.bytes, Golden("ANSSETCONFIG", c.complete ? 0 : 1, 0)) << label;
    std::string expected =
        c.complete ? std::string(payload.begin(), payload.begin() + c.dataLength) : old;
    EXPECT_EQ(pipetest::ReadFileBytes(config_), expected) << label;
    if (c.complete) ++expectedWrites;
    EXPECT_EQ(writes_.load(), expectedWrites) << label;
  }
  EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(ControlPipe, SetConfigReplacesTheFileThroughARename) {
  pipetest::WriteFileBytes(config_, "old");
  ASSERT_EQ(::chmod(config_.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(::stat(config_.c_str(), &before), 0);
  pipetest::Answer answer = Send(pipetest::Request("REQSETCONFIG", Raw("[New]\r\n")));
  ASSERT_EQ(answer.error, 0u);
  EXPECT_EQ(answer.bytes, Golden("ANSSETCONFIG", 0, 0));
  struct stat after;
  ASSERT_EQ(::stat(config_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(pipetest::ReadFileBytes(config_), "[New]\r\n");
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(ControlPipe, AFailedWriteKeepsTheOldFileAndIsReportedAndLogged) {
  struct Case {
    const char* label;
    std::string path;
    std::function<void(const std::string&)> prepare;
    std::string error;
  };
  const std::string missingFolder = dir_.File("gone/vigilo.ini");
  const Case cases[] = {
      {"read-only file", config_,
       [](const std::string& path) {
         pipetest::WriteFileBytes(path, "keep me");
         ::chmod(path.c_str(), 0444);
       },
       platform::SystemErrorText(platform::kErrorAccessDenied)},
      {"folder missing", missingFolder, [](const std::string&) {},
       platform::SystemErrorText(platform::kErrorFileNotFound)},
  };
  for (const Case& c : cases) {
    c.prepare(c.path);
    std::string before = pipetest::ReadFileBytes(c.path);
    std::string name = pipetest::UniquePipeName("Failing");
    TAlrSrvControl control(name, 1, c.path);
    std::atomic<int> written{0};
    control.OnConfigWritten.Set([&](TAlrSrvControl&) { ++written; });
    pipetest::Answer answer =
        pipetest::CallWhenReady(name, pipetest::Request("REQSETCONFIG", Raw("new content")));
    ASSERT_EQ(answer.error, 0u) << c.label;
    EXPECT_EQ(answer.bytes, Golden("ANSSETCONFIG", 1, 0)) << c.label;
    EXPECT_EQ(pipetest::ReadFileBytes(c.path), before) << c.label;
    EXPECT_EQ(written.load(), 0) << c.label;
    EXPECT_EQ(log_.Count("Error writing data to " + c.path + " : " + c.error), 1u) << c.label;
  }
}

TEST_F(ControlPipe, TheSettingsLockKeepsTheFileFromChangingUnderItsHolder) {
  pipetest::WriteFileBytes(config_, "held");
  ASSERT_EQ(Send(pipetest::Request("REQGETCONFIG")).error, 0u);  // the pipe is up
  auto lock = platform::LockSettingsFile(config_);
  auto pending = std::async(std::launch::async, [&] {
    return pipetest::Call(name_, pipetest::Request("REQSETCONFIG", Raw("replaced")));
  });
  // While the lock is held the pipe thread can neither write nor answer.
  EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(pipetest::ReadFileBytes(config_), "held");
  lock.unlock();
  pipetest::Answer answer = pending.get();
  ASSERT_EQ(answer.error, 0u);
  EXPECT_EQ(answer.bytes, Golden("ANSSETCONFIG", 0, 0));
  EXPECT_EQ(pipetest::ReadFileBytes(config_), "replaced");
}

struct CommandCase {
  const char* label;
  Bytes request;
  const char* reply;  // the expected reply's name
};

Bytes WithField(const std::string& field16, size_t size = 28) {
  Bytes request(field16.begin(), field16.end());
  request.resize(size, 0);
  return request;
}

TEST_F(ControlPipe, AnswersOnlyItsOwnCommandsSpelledExactly) {
  pipetest::WriteFileBytes(config_, "abc");
  const CommandCase cases[] = {
      {"exact", WithField(std::string("REQGETCONFIG\0\0\0\0", 16)), "ANSGETCONFIG"},
      {"zero then junk", WithField(std::string("REQGETCONFIG\0xyz", 16)), "ANSGETCONFIG"},
      {"bytes after the header", WithField(std::string("REQGETCONFIG", 12), 40), "ANSGETCONFIG"},
      {"lower case", WithField("reqgetconfig"), "ANSREQUNKNOWN"},
      {"one more letter", WithField("REQGETCONFIGS"), "ANSREQUNKNOWN"},
      {"no zero in 16 bytes", WithField("REQGETCONFIGXXXX"), "ANSREQUNKNOWN"},
      {"27 bytes", WithField(std::string("REQGETCONFIG", 12), 27), "ANSREQUNKNOWN"},
      {"one byte", Bytes{'R'}, "ANSREQUNKNOWN"},
      {"the info pipe's", WithField("REQGETSTATS"), "ANSREQUNKNOWN"},
  };
  for (const CommandCase& c : cases) {
    pipetest::Answer answer = Send(c.request);
    ASSERT_EQ(answer.error, 0u) << c.label;
    uint32_t length = std::string(c.reply) == "ANSGETCONFIG" ? 3 : 0;
    EXPECT_EQ(Head(answer.bytes), Golden(c.reply, 0, length)) << c.label;
    EXPECT_EQ(answer.bytes.size(), 28 + length) << c.label;
  }
}

class InfoPipe : public ::testing::Test {
 protected:
  InfoPipe() : name_(pipetest::UniquePipeName("Info")), info_(name_, 4) {}
  pipetest::Answer Send(const Bytes& request) { return pipetest::CallWhenReady(name_, request); }

  LogCapture log_;
  std::string name_;
  TAlrSrvInfo info_;
};

TEST_F(InfoPipe, AnswersOnlyItsOwnCommandsSpelledExactly) {
  const CommandCase cases[] = {
      {"exact", WithField("REQGETSTATS"), "ANSGETSTATS"},
      {"zero then junk", WithField(std::string("REQGETSTATS\0junk", 16)), "ANSGETSTATS"},
      {"with a payload", WithField("REQGETSTATS", 100), "ANSGETSTATS"},
      {"lower case", WithField("reqgetstats"), "ANSREQUNKNOWN"},
      {"one more letter", WithField("REQGETSTATSX"), "ANSREQUNKNOWN"},
      {"no zero in 16 bytes", WithField("REQGETSTATSXXXXX"), "ANSREQUNKNOWN"},
      {"27 bytes", WithField("REQGETSTATS", 27), "ANSREQUNKNOWN"},
      {"the control pipe's get", WithField("REQGETCONFIG"), "ANSREQUNKNOWN"},
      {"the control pipe's set", WithField("REQSETCONFIG"), "ANSREQUNKNOWN"},
  };
  for (const CommandCase& c : cases) {
    pipetest::Answer answer = Send(c.request);
    ASSERT_EQ(answer.error, 0u) << c.label;
    bool stats = std::string(c.reply) == "ANSGETSTATS";
    EXPECT_EQ(Head(answer.bytes), Golden(c.reply, 0, stats ? 393 : 0)) << c.label;
    EXPECT_EQ(answer.bytes.size(), stats ? 421u : 28u) << c.label;
  }
}

TEST_F(InfoPipe, StatisticsCountThisRequestButNotItsAnswer) {
  pipetest::Answer first = Send(pipetest::Request("REQGETSTATS"));
  ASSERT_EQ(first.error, 0u);
  ASSERT_EQ(first.bytes.size(), 421u);
  EXPECT_EQ(pipetest::Get32(first.bytes, 28 + 16), 1u);   // Connections
  EXPECT_EQ(pipetest::Get32(first.bytes, 28 + 20), 0u);   // ConnectErrors
  EXPECT_EQ(pipetest::Get32(first.bytes, 28 + 24), 1u);   // Requests
  EXPECT_EQ(pipetest::Get64(first.bytes, 28 + 28), 28u);  // BytesReceived
  EXPECT_EQ(pipetest::Get32(first.bytes, 28 + 40), 0u);   // Answers
  EXPECT_EQ(pipetest::Get64(first.bytes, 28 + 44), 0u);   // BytesSent
  EXPECT_NE(pipetest::Get16(first.bytes, 28), 0u);        // StartedAt.wYear

  pipetest::Answer second = Send(pipetest::Request("REQGETSTATS"));
  ASSERT_EQ(second.error, 0u);
  EXPECT_EQ(pipetest::Get32(second.bytes, 28 + 16), 2u);
  EXPECT_EQ(pipetest::Get32(second.bytes, 28 + 24), 2u);
  EXPECT_EQ(pipetest::Get64(second.bytes, 28 + 28), 56u);
  EXPECT_EQ(pipetest::Get32(second.bytes, 28 + 40), 1u);
  EXPECT_EQ(pipetest::Get64(second.bytes, 28 + 44), 421u);
  EXPECT_EQ(pipetest::Get32(second.bytes, 28 + 52), 0u);  // WriteErrors
  // Without a status handler the block is all zero.
  EXPECT_EQ(Bytes(second.bytes.begin() + 84, second.bytes.end()), Bytes(337, 0));
}

TEST_F(InfoPipe, TheHandlerFillsTheStatusBlock) {
  const std::string longText(200, 'e');
  std::string errorText = "Database unreachable";
  info_.OnGetStatus.Set([&](TAlrSrvInfo& sender, TAlrSrvStatusBlock& status) {
    EXPECT_EQ(&sender, &info_);
    EXPECT_EQ(status.BlockSize, 0);  // handed over zeroed
    status.BlockSize = kAlrSrvStatusBlockSize;
    status.VerMajor = 1;
    status.VerMinor = 2;
    status.VerRelease = 3;
    status.Busy = 1;
    status.LastEventTime.wYear = 2024;
    status.LastErrorTime.wMonth = 7;
    status.NextCheckTime.wHour = 6;
    status.LastReportTime.wMilliseconds = 999;
    SetStatusText(status.LastEventText, longText);
    SetStatusText(status.LastErrorText, errorText);
  });
  pipetest::Answer answer = Send(pipetest::Request("REQGETSTATS"));
  ASSERT_EQ(answer.error, 0u);
  ASSERT_EQ(answer.bytes.size(), 421u);
  const Bytes& b = answer.bytes;
  const size_t s = 84;
  EXPECT_EQ(pipetest::Get16(b, s + 0), 337);
  EXPECT_EQ(pipetest::Get16(b, s + 2), 1);
  EXPECT_EQ(pipetest::Get16(b, s + 4), 2);
  EXPECT_EQ(pipetest::Get16(b, s + 6), 3);
  EXPECT_EQ(b[s + 8], 1);
  EXPECT_EQ(pipetest::Get16(b, s + 9), 2024);       // LastEventTime.wYear
  EXPECT_EQ(pipetest::Get16(b, s + 29 + 2), 7);     // LastErrorTime.wMonth
  EXPECT_EQ(pipetest::Get16(b, s + 49 + 8), 6);     // NextCheckTime.wHour
  EXPECT_EQ(pipetest::Get16(b, s + 65 + 14), 999);  // LastReportTime.wMilliseconds
  EXPECT_EQ(Text(b, s + 81, 127), longText.substr(0, 127));
  EXPECT_EQ(b[s + 81 + 127], 0);
  EXPECT_EQ(Text(b, s + 209, errorText.size()), errorText);
  EXPECT_EQ(Bytes(b.begin() + s + 209 + errorText.size(), b.end()),
            Bytes(128 - errorText.size(), 0));
}

TEST_F(InfoPipe, ClearingTheHandlerWaitsForACallInProgress) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  std::atomic<bool> cleared{false};
  info_.OnGetStatus.Set([&](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
    if (++calls == 1) entered.set_value();
    released.wait();
    // The owner is still waiting: it cannot have come back from clearing.
    EXPECT_FALSE(cleared.load());
    status.Busy = 1;
  });
  auto request =
      std::async(std::launch::async, [&] { return Send(pipetest::Request("REQGETSTATS")); });
  entered.get_future().wait();
  auto clearing = std::async(std::launch::async, [&] {
    info_.OnGetStatus.Set(nullptr);
    cleared = true;
  });
  EXPECT_EQ(clearing.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  release.set_value();
  clearing.get();
  pipetest::Answer answer = request.get();
  ASSERT_EQ(answer.error, 0u);
  EXPECT_EQ(answer.bytes.at(84 + 8), 1);

  pipetest::Answer after = Send(pipetest::Request("REQGETSTATS"));
  ASSERT_EQ(after.error, 0u);
  EXPECT_EQ(Bytes(after.bytes.begin() + 84, after.bytes.end()), Bytes(337, 0));
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(InfoPipe, AThrowingHandlerIsLoggedAndDropsOnlyThatClient) {
  info_.OnGetStatus.Set(
      [](TAlrSrvInfo&, TAlrSrvStatusBlock&) { throw std::runtime_error("status failed"); });
  pipetest::Answer failed = Send(pipetest::Request("REQGETSTATS"));
  EXPECT_EQ(failed.error, platform::kErrorBrokenPipe);
  EXPECT_TRUE(log_.WaitFor("status failed"));
  info_.OnGetStatus.Set(nullptr);
  pipetest::Answer answer = Send(pipetest::Request("REQGETSTATS"));
  ASSERT_EQ(answer.error, 0u);
  EXPECT_EQ(pipetest::Get32(answer.bytes, 28 + 24), 2u);  // both requests were counted
}

TEST(Endpoints, ManySequentialExchangesLeaveTheDescriptorsAsTheyWere) {
  pipetest::TempDir dir;
  pipetest::WriteFileBytes(dir.File("vigilo.ini"), "[Alarm]\r\n");
  std::string info = pipetest::UniquePipeName("SoakInfo");
  std::string control = pipetest::UniquePipeName("SoakControl");
  const size_t before = pipetest::OpenDescriptorCount();
  {
    TAlrSrvInfo infoPipe(info, 4);
    TAlrSrvControl controlPipe(control, 1, dir.File("vigilo.ini"));
    ASSERT_EQ(pipetest::CallWhenReady(info, pipetest::Request("REQGETSTATS")).error, 0u);
    ASSERT_EQ(pipetest::CallWhenReady(control, pipetest::Request("REQGETCONFIG")).error, 0u);
    for (int i = 0; i < 1000; ++i) {
      const std::string& pipe = i % 10 == 0 ? control : info;
      Bytes request = i % 10 == 0   ? pipetest::Request("REQGETCONFIG")
                      : i % 7 == 0  ? Bytes(27, 'x')
                      : i % 13 == 0 ? Bytes()
                                    : pipetest::Request("REQGETSTATS");
      pipetest::Answer answer = pipetest::Call(pipe, request);
      EXPECT_EQ(answer.error, request.empty() ? platform::kErrorBrokenPipe : 0u) << i;
    }
    // Serving, each server holds its stop event and listening socket, and
    // each instance at most the client whose close it has not seen yet.
    const size_t servers = 2;
    const size_t instances = 4 + 1;
    EXPECT_LE(pipetest::OpenDescriptorCount(), before + 2 * servers + instances);
  }
  EXPECT_EQ(pipetest::OpenDescriptorCount(), before);
}

}  // namespace
