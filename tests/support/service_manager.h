// The service control manager and the service entry's steps as tests meet them: a machine with
// the manager open, one service opened on a connection of its own, and the message boxes the
// steps show.
#pragma once

#include "machine.h"

#include <windows.h>
#include <winsvc.h>
#include <hostwin/owner.h>

#include <string>
#include <vector>

namespace testing_support {

// A fresh machine with the manager open for everything; closed before the leak check.
class ServiceManagerTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    UniqueScHandle m_manager;
};

// A service and the manager connection it was opened on; the service closes first. `service`
// holds nothing when either could not be opened.
struct OpenedService {
    UniqueScHandle manager;
    UniqueScHandle service;
};
OpenedService OpenServiceEntry(LPCWSTR name, DWORD access);

// The texts of the message boxes recorded on the machine at `root`, in the order shown; each
// record is checked for the caption and for the style the product passes (MB_OK).
std::vector<std::string> MessageBoxTexts(const std::string& root,
                                         const std::string& caption = "pellardservice");

} // namespace testing_support
