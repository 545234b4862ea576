// The configuration round trip and the PC switch of the main window's logic,
// driven through fakes: the service manager, the control pipe, the view, the
// boxes and the dialogs.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/exceptions.h"
#include "control/alrsvc_logic.h"
#include "control_fakes.h"
#include "pipes/pipe_messages.h"
#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace platform;
using namespace control_test;
using testing_support::ReadFile;

const std::string kFetched = "[General]\r\nExactTime=06:00\r\n";
const std::string kEdited = "[General]\r\nExactTime=07:30\r\n";

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class RoundTripTest : public ::testing::Test {
 protected:
  RoundTripTest() : logic(system, view, boxes, folder.Path() + "/") {
    logic.ShowConfigDialog = [this](const std::string& pc, const std::string& file) {
      dialogs.push_back(pc + "|" + file);
      contentAtDialog = ReadFile(file);
      if (dialogOk) folder.Write("vigilo_local.ini", kEdited);
      return dialogOk;
    };
  }

  // A tick that finds the service in `state` and keeps its handles; then the
  // answers of the fetch and the send, and the states the restart will see.
  void Connect(uint32_t state, std::initializer_list<ServiceStatus> restart) {
    scm.SetStates({FakeScm::State(state)});
    logic.TmrMainTimer();
    ASSERT_TRUE(logic.IsConnected());
    scm.States.assign(restart.begin(), restart.end());
    pipe.Answers = {
        MakeAnswer(kAnsGetConfig, static_cast<uint32_t>(kFetched.size()), Bytes(kFetched)),
        MakeAnswer(kAnsSetConfig, 0)};
    view.PanelHistory.clear();
    view.Log.clear();
    scm.Log.clear();
    pipe.Requests.clear();
    view.Captions["LabLastErrTextVal"] = "an old error";
  }

  // Runs the round trip as the button does; the message of what it raised.
  std::string Edit() {
    try {
      logic.EditConfiguration();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  bool Logged(const std::vector<std::string>& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
  }

  testing_support::TempFolder folder;
  FakeScm scm;
  FakePipe pipe;
  FakeView view;
  FakeBoxes boxes;
  TControlSystem system{scm, pipe, [] { return 46000.0; }, [](uint32_t) {}, ","};
  TSvcControlLogic logic;
  bool dialogOk = true;
  std::vector<std::string> dialogs;
  std::string contentAtDialog;
};

const ServiceStatus kRunning = FakeScm::State(kServiceRunning);
const ServiceStatus kStopped = FakeScm::State(kServiceStopped);

TEST_F(RoundTripTest, OkFetchesEditsSendsAndRestartsWithItsTextsInOrder) {
  Connect(kServiceRunning, {kRunning, kStopped, kRunning});
  logic.SetBusy(true);
  EXPECT_EQ(Edit(), "");
  EXPECT_EQ(dialogs, std::vector<std::string>{"|" + logic.LocalConfigPath()});
  EXPECT_EQ(contentAtDialog, kFetched);
  EXPECT_EQ(view.PanelHistory,
            (std::vector<std::string>{"re\xE7ois la configuration de cet PC...",
                                      "envoie la configuration \xE0 cet PC...",
                                      "Service stopping...", "Changing service configuration...",
                                      "Service starting...", "Service is running"}));
  // Each text but the last is on the screen before the step after it blocks.
  EXPECT_EQ(std::count(view.Log.begin(), view.Log.end(), "repaint"), 5);
  EXPECT_EQ(view.Cursor, 0) << "the cursor restored";
  ASSERT_EQ(pipe.Requests.size(), 2u);
  EXPECT_EQ(std::string(pipe.Requests[1].begin() + kPipeHeaderSize, pipe.Requests[1].end()),
            kEdited);
  EXPECT_EQ(scm.Log,
            (std::vector<std::string>{"open-service VazidEre 55", "close service 55",
                                      "open-service VazidEre 36", "control 1", "close service 36",
                                      "open-service VazidEre 20", "start", "close service 20"}));
  EXPECT_FALSE(logic.GetServiceBusy());
  EXPECT_EQ(view.Captions.at("LabLastErrTextVal"), "");
  EXPECT_EQ(view.Captions.at("LabLastErrTimeVal"), "");
  EXPECT_TRUE(boxes.Errors.empty());
}

TEST_F(RoundTripTest, AFailedFetchOpensNoDialog) {
  Connect(kServiceRunning, {kRunning});
  pipe.Error = kErrorFileNotFound;
  EXPECT_EQ(Edit(), SystemErrorText(kErrorFileNotFound));
  EXPECT_EQ(logic.PanelMessageText(), SystemErrorText(kErrorFileNotFound));
  EXPECT_TRUE(dialogs.empty());
  EXPECT_EQ(pipe.Requests.size(), 1u) << "nothing sent";
  EXPECT_TRUE(scm.Log.empty());
}

TEST_F(RoundTripTest, AFailedSendIsShownAndTheServiceIsRestartedAllTheSame) {
  Connect(kServiceRunning, {kRunning, kStopped, kRunning});
  pipe.Answers.back() = MakeAnswer(kAnsGetStats, 0);
  EXPECT_EQ(Edit(), "");
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{"Wrong quittance from Brevast Service"});
  EXPECT_TRUE(Logged(view.PanelHistory, "Wrong quittance from Brevast Service"));
  EXPECT_TRUE(Logged(scm.Log, "control 1"));
  EXPECT_TRUE(Logged(scm.Log, "start"));
  EXPECT_EQ(logic.PanelMessageText(), "Service is running");
}

TEST_F(RoundTripTest, AStoppedServiceIsOfferedAStart) {
  for (bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    boxes.Questions.clear();
    boxes.Answer = yes;
    Connect(kServiceStopped, {kStopped, kRunning});
    EXPECT_EQ(Edit(), "");
    EXPECT_EQ(boxes.Questions, std::vector<std::string>{"Service n'est pas travailler.\r"
                                                        "Vulez vous demarrer maintenant?"});
    EXPECT_FALSE(Logged(scm.Log, "control 1")) << "never stopped";
    EXPECT_EQ(Logged(scm.Log, "start"), yes);
    EXPECT_EQ(Logged(view.PanelHistory, "Service starting..."), yes);
  }
}

TEST_F(RoundTripTest, WithoutTheRightsNothingIsStopped) {
  Connect(kServiceRunning, {kRunning, kStopped, kRunning});
  scm.WaitOpenError = kErrorAccessDenied;
  EXPECT_EQ(Edit(), "System Error.  Code: 5.\r\nAccess is denied");
  EXPECT_EQ(logic.PanelMessageText(), "System Error.  Code: 5.\r\nAccess is denied");
  EXPECT_EQ(scm.Log, std::vector<std::string>{"open-service VazidEre 55"});
  EXPECT_EQ(view.Captions.at("LabLastErrTextVal"), "an old error") << "not cleared";
  EXPECT_EQ(view.Cursor, 0);
}

TEST_F(RoundTripTest, CancelSendsNothingAndKeepsTheFetchedCopy) {
  dialogOk = false;
  Connect(kServiceRunning, {kRunning});
  EXPECT_EQ(Edit(), "");
  EXPECT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(pipe.Requests.size(), 1u);
  EXPECT_TRUE(scm.Log.empty());
  EXPECT_EQ(ReadFile(logic.LocalConfigPath()), kFetched);
  EXPECT_EQ(view.Captions.at("LabLastErrTextVal"), "an old error");
}

TEST_F(RoundTripTest, AFailedStopIsRaisedWithTheCursorBack) {
  Connect(kServiceRunning, {kRunning, kRunning});
  EXPECT_EQ(Edit(), "Failed to stop service");
  EXPECT_EQ(logic.PanelMessageText(), "Failed to stop service");
  EXPECT_FALSE(Logged(scm.Log, "start"));
  EXPECT_EQ(view.Cursor, 0);
}

TEST_F(RoundTripTest, TheConfigSwitchRunsItOnceAtTheFirstTick) {
  logic.ParseCommandLine({"-config", "/CONFIG"});
  scm.SetStates({kStopped});
  pipe.Error = kErrorFileNotFound;  // a stopped service has no pipe
  logic.RunHandler([&] { logic.TmrMainTimer(); });
  logic.RunHandler([&] { logic.TmrMainTimer(); });
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{SystemErrorText(kErrorFileNotFound) + "."});
  EXPECT_TRUE(dialogs.empty());
}

TEST_F(RoundTripTest, WhileNotConnectedTheRestartDoesNothing) {
  logic.RestartService();
  EXPECT_TRUE(scm.Log.empty());
}

// The PC switch of the hidden header button.
TEST_F(RoundTripTest, PcSwitchOkPointsTheWindowAtTheTypedName) {
  Connect(kServiceRunning, {kRunning});
  std::string offered;
  logic.ShowSelectPcDialog = [&](std::string& name) {
    offered = name;
    name = " shop-pc ";
    return true;
  };
  view.Captions["LabVersionVal"] = "1.0.0";
  int linksEnded = 0;
  system.EndRemoteLinks = [&] { ++linksEnded; };
  logic.BtnPcClick();
  EXPECT_EQ(offered, "");
  EXPECT_EQ(logic.GetRemotePC(), " shop-pc ") << "as typed";
  EXPECT_FALSE(logic.IsConnected());
  EXPECT_EQ(linksEnded, 1) << "the link to the old PC ends with the switch";
  EXPECT_EQ(view.Captions.at("LabVersionVal"), "");
  EXPECT_EQ(view.Captions.at("StPcDisplayName"), " shop-pc ");
  EXPECT_FALSE(view.Enabled.at("BtnSrvStart"));
  EXPECT_EQ(view.Log, (std::vector<std::string>{"stop-timer", "start-timer"}));
}

TEST_F(RoundTripTest, PcSwitchCancelChangesNothing) {
  Connect(kServiceRunning, {kRunning});
  logic.ShowSelectPcDialog = [](std::string& name) {
    name = "elsewhere";
    return false;
  };
  view.Captions["LabVersionVal"] = "1.0.0";
  int linksEnded = 0;
  system.EndRemoteLinks = [&] { ++linksEnded; };
  logic.BtnPcClick();
  EXPECT_EQ(logic.GetRemotePC(), "");
  EXPECT_TRUE(logic.IsConnected());
  EXPECT_EQ(linksEnded, 0);
  EXPECT_EQ(view.Captions.at("LabVersionVal"), "1.0.0");
  EXPECT_EQ(view.Log, (std::vector<std::string>{"stop-timer", "start-timer"}));
}

TEST_F(RoundTripTest, PcSwitchThatFailsStartsTheTimerAgain) {
  logic.ShowSelectPcDialog = [](std::string&) -> bool { throw Exception("no dialog"); };
  EXPECT_THROW(logic.BtnPcClick(), Exception);
  EXPECT_EQ(view.Log, (std::vector<std::string>{"stop-timer", "start-timer"}));
}

}  // namespace
