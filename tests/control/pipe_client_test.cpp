// The settings exchanges of the pipe client and the local copy, against a
// fake pipe and a real folder.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

#include "control/alrsvc_logic.h"
#include "control_fakes.h"
#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace platform;
using namespace control_test;
using testing_support::ReadFile;
using testing_support::TempFolder;

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

class PipeClientTest : public ::testing::Test {
 protected:
  PipeClientTest()
      : system{scm, pipe, [] { return 0.0; }, [](uint32_t) {}, ","},
        logic(system, view, boxes, folder.Path() + "/") {}

  // The message of the error `call` raises; empty when it raises none.
  template <typename Call>
  std::string ErrorOf(Call call) {
    try {
      call();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  std::string LocalCopy() { return ReadFile(logic.LocalConfigPath()); }
  // The folder holds nothing but these names.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path())) {
      names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder folder;
  FakeScm scm;
  FakePipe pipe;
  FakeView view;
  FakeBoxes boxes;
  TControlSystem system;
  TSvcControlLogic logic;
};

TEST_F(PipeClientTest, FetchStoresTheSettingsFile) {
  folder.Write("vigilo_local.ini", "old and longer than the new one");
  pipe.Answer = MakeAnswer(kAnsGetConfig, 9, Bytes("[General]"));
  logic.GetConfigFromService();
  EXPECT_EQ(LocalCopy(), "[General]");
  EXPECT_EQ(pipe.Paths.at(0), "\\\\.\\pipe\\VigiloControl");
  EXPECT_EQ(pipe.Requests.at(0), MakeAnswer(kReqGetConfig, 0));
}

TEST_F(PipeClientTest, FetchFailuresLeaveTheLocalCopy) {
  struct Case {
    const char* name;
    uint32_t error;
    std::vector<uint8_t> answer;
    std::string message;
  };
  const Case cases[] = {
      {"absent", kErrorFileNotFound, {}, SystemErrorText(kErrorFileNotFound)},
      {"denied", kErrorAccessDenied, {}, "Access is denied"},
      {"27 bytes", 0, MakeAnswer(kAnsGetConfig, 0, {}, 27), "Length error"},
      {"length above what came", 0, MakeAnswer(kAnsGetConfig, 10, Bytes("123456789")),
       "Length error"},
      {"huge length", 0, MakeAnswer(kAnsGetConfig, 0xFFFFFFFF, Bytes("x")), "Length error"},
      {"other answer", 0, MakeAnswer(kAnsReqUnknown, 0), "Wrong quittance from Brevast Service"},
      {"service failed", 0, MakeAnswer(kAnsGetConfig, 0, {}, 0, kPipeErrorFailed),
       "Brevast Service could not read its settings file"},
      {"service failed with data", 0, MakeAnswer(kAnsGetConfig, 1, Bytes("x"), 0, kPipeErrorFailed),
       "Brevast Service could not read its settings file"},
      {"no data", 0, MakeAnswer(kAnsGetConfig, 0), "Brevast Service sent an empty settings file"},
  };
  folder.Write("vigilo_local.ini", "kept");
  for (const Case& c : cases) {
    pipe.Error = c.error;
    pipe.Answer = c.answer;
    EXPECT_EQ(ErrorOf([&] { logic.GetConfigFromService(); }), c.message) << c.name;
    EXPECT_EQ(LocalCopy(), "kept") << c.name;
  }
}

TEST_F(PipeClientTest, SendCarriesTheWholeLocalCopy) {
  const std::string copy(kPipeMaxPayload, 'a');
  folder.Write("vigilo_local.ini", copy);
  pipe.Answer = MakeAnswer(kAnsSetConfig, 0);
  logic.PutConfigToService();
  ASSERT_EQ(pipe.Requests.size(), 1u);
  const std::vector<uint8_t>& request = pipe.Requests[0];
  ASSERT_EQ(request.size(), kPipeBufferSize);
  EXPECT_EQ(std::vector<uint8_t>(request.begin(), request.begin() + kPipeHeaderSize),
            MakeAnswer(kReqSetConfig, kPipeMaxPayload));
  EXPECT_EQ(std::string(request.begin() + kPipeHeaderSize, request.end()), copy);

  folder.Write("vigilo_local.ini", "");
  logic.PutConfigToService();
  EXPECT_EQ(pipe.Requests.at(1), MakeAnswer(kReqSetConfig, 0));
}

TEST_F(PipeClientTest, SendFailures) {
  struct Case {
    const char* name;
    std::optional<std::string> copy;  // nullopt: no local copy
    uint32_t error;
    std::vector<uint8_t> answer;
    std::string message;
    bool sent;
  };
  const std::string path = folder.File("vigilo_local.ini");
  const Case cases[] = {
      {"no copy", std::nullopt, 0, MakeAnswer(kAnsSetConfig, 0),
       "Cannot open file \"" + path + "\". " + SystemErrorText(kErrorFileNotFound), false},
      {"too large", std::string(kPipeMaxPayload + 1, 'a'), 0, MakeAnswer(kAnsSetConfig, 0),
       "The file \"" + path +
           "\" holds 16357 bytes; at most 16356 bytes can be sent to the service",
       false},
      {"pipe absent", "x", kErrorFileNotFound, {}, SystemErrorText(kErrorFileNotFound), true},
      {"short answer", "x", 0, MakeAnswer(kAnsSetConfig, 0, {}, 20), "Length error", true},
      {"other answer", "x", 0, MakeAnswer(kAnsReqUnknown, 0),
       "Wrong quittance from Brevast Service", true},
      {"not written", "x", 0, MakeAnswer(kAnsSetConfig, 0, {}, 0, kPipeErrorFailed),
       "Brevast Service could not write its settings file", true},
      {"written", "x", 0, MakeAnswer(kAnsSetConfig, 0), "", true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path);
    if (c.copy) folder.Write("vigilo_local.ini", *c.copy);
    pipe.Requests.clear();
    pipe.Error = c.error;
    pipe.Answer = c.answer;
    EXPECT_EQ(ErrorOf([&] { logic.PutConfigToService(); }), c.message) << c.name;
    EXPECT_EQ(pipe.Requests.size(), c.sent ? 1u : 0u) << c.name;
  }
}

TEST_F(PipeClientTest, LocalCopyThatCannotBeWrittenLeavesNoCutFile) {
  // The copy's name taken by a folder: the new bytes cannot replace it.
  std::filesystem::create_directory(folder.File("vigilo_local.ini"));
  pipe.Answer = MakeAnswer(kAnsGetConfig, 3, Bytes("abc"));
  const std::string message = ErrorOf([&] { logic.GetConfigFromService(); });
  EXPECT_EQ(message.rfind("Cannot create file \"" + logic.LocalConfigPath() + "\". ", 0), 0u)
      << message;
  EXPECT_EQ(Names(), std::vector<std::string>{"vigilo_local.ini"}) << "no temporary file left";
}

// A full disk, on a small file system of its own (needs root to mount it).
TEST_F(PipeClientTest, FullDiskKeepsTheOldCopyWhole) {
  const std::string mnt = folder.File("small");
  std::filesystem::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount(path.c_str()); }
  } unmount{mnt};
  {
    TSvcControlLogic small(system, view, boxes, mnt + "/");
    std::string old(100, 'o');
    FILE* f = std::fopen((mnt + "/vigilo_local.ini").c_str(), "wb");
    std::fwrite(old.data(), 1, old.size(), f);
    std::fclose(f);
    // Fill what is left, so the new copy cannot fit.
    f = std::fopen((mnt + "/filler").c_str(), "wb");
    std::string block(1024, 'f');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
    std::vector<uint8_t> big(8000, 'n');
    pipe.Answer = MakeAnswer(kAnsGetConfig, 8000, big);
    const std::string message = ErrorOf([&] { small.GetConfigFromService(); });
    EXPECT_NE(message.find(SystemErrorText(kErrorDiskFull)), std::string::npos) << message;
    EXPECT_EQ(ReadFile(mnt + "/vigilo_local.ini"), old);
    size_t entries = 0;
    for (auto it = std::filesystem::directory_iterator(mnt);
         it != std::filesystem::directory_iterator(); ++it)
      ++entries;
    EXPECT_EQ(entries, 2u) << "the copy and the filler only";
  }
}

}  // namespace

namespace {

// The copy holds the mail server's password: a new one is its owner's alone,
// whatever the umask lets through.
TEST_F(PipeClientTest, ANewLocalCopyIsReadableByItsOwnerAlone) {
  const mode_t umask = ::umask(0);
  pipe.Answer = MakeAnswer(kAnsGetConfig, 9, Bytes("[General]"));
  logic.GetConfigFromService();
  ::umask(umask);
  struct stat st {};
  ASSERT_EQ(::stat(logic.LocalConfigPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(LocalCopy(), "[General]");
}

}  // namespace
