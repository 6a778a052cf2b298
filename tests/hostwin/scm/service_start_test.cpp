// The start handshake's states, walked through its transitions as the manager and the
// dispatcher make them.
#include "scm/service_start.h"

#include <gtest/gtest.h>

namespace {

using namespace hostwin::scm;

TEST(ServiceStartTest, TransitionsLeadThroughTheStatesAndBack) {
    ServiceRow row; // as created: stopped, never run
    row.status.dwCurrentState = SERVICE_STOPPED;
    row.status.dwServiceSpecificExitCode = 9;
    EXPECT_EQ(StartStateOf(row), StartState::Stopped);

    row.pid = 41; // a process of an earlier run
    row.pidStart = 7;
    ClaimStart(row);
    EXPECT_EQ(StartStateOf(row), StartState::Claimed) << "a claim forgets the earlier process";
    EXPECT_EQ(row.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));

    RecordProcess(row, 42, 8);
    EXPECT_EQ(StartStateOf(row), StartState::Recorded);
    MarkReady(row);
    EXPECT_EQ(StartStateOf(row), StartState::Ready);

    SERVICE_STATUS running{SERVICE_WIN32_SHARE_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP};
    ApplyReport(row, running);
    EXPECT_EQ(StartStateOf(row), StartState::Ready);
    EXPECT_EQ(row.status.dwServiceType, row.type) << "the type is the configuration's";

    SERVICE_STATUS stopped{row.type, SERVICE_STOPPED, 0, ERROR_SUCCESS, 3};
    ApplyReport(row, stopped);
    EXPECT_EQ(StartStateOf(row), StartState::Stopped);

    ClaimStart(row);
    RecordProcess(row, 43, 9);
    MarkStopped(row, ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(StartStateOf(row), StartState::Stopped);
    EXPECT_EQ(row.status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(row.status.dwControlsAccepted, 0u);
}

TEST(ServiceStartTest, StatesOutsideTheUsualWalk) {
    ServiceRow builtIn; // running without a process: nothing to wait for
    builtIn.status.dwCurrentState = SERVICE_RUNNING;
    EXPECT_EQ(StartStateOf(builtIn), StartState::Ready);

    // ServiceMain reported SERVICE_STOPPED before its dispatcher marked itself ready: the start
    // still counts as done.
    ServiceRow early;
    ClaimStart(early);
    RecordProcess(early, 42, 8);
    ApplyReport(early, SERVICE_STATUS{early.type, SERVICE_STOPPED});
    MarkReady(early);
    EXPECT_EQ(StartStateOf(early), StartState::Ready);

    // A service process that reported before its dispatcher connected is still only recorded.
    ServiceRow reported;
    ClaimStart(reported);
    RecordProcess(reported, 42, 8);
    ApplyReport(reported, SERVICE_STATUS{reported.type, SERVICE_RUNNING});
    EXPECT_EQ(StartStateOf(reported), StartState::Recorded);
}

} // namespace
