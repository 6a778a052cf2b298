// The generic rights on the service control manager's handles, and MapGenericMask beneath them.
#include "scm/service_access.h"

#include <gtest/gtest.h>

namespace {

using namespace hostwin::scm;

TEST(ServiceAccessTest, GenericRightsBecomeEachHandleKindsOwn) {
    const struct {
        DWORD requested;
        DWORD manager;
        DWORD service;
    } cases[] = {
        {GENERIC_READ, READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
         READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
             SERVICE_ENUMERATE_DEPENDENTS},
        {GENERIC_WRITE, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
         READ_CONTROL | SERVICE_CHANGE_CONFIG},
        {GENERIC_EXECUTE, SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
         READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
             SERVICE_USER_DEFINED_CONTROL},
        {GENERIC_ALL, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS},
        // Specific and standard rights stay beside the mapped ones.
        {GENERIC_WRITE | DELETE | 0x0800,
         SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | DELETE | 0x0800,
         READ_CONTROL | SERVICE_CHANGE_CONFIG | DELETE | 0x0800},
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MapManagerAccess(c.requested), c.manager) << std::hex << c.requested;
        EXPECT_EQ(MapServiceAccess(c.requested), c.service) << std::hex << c.requested;
    }
}

TEST(ServiceAccessTest, MapGenericMaskReplacesOnlyTheGenericRights) {
    GENERIC_MAPPING mapping = {0x1, 0x2, 0x4, 0x8};
    const struct {
        DWORD before;
        DWORD after;
    } cases[] = {
        {GENERIC_READ, 0x1},
        {GENERIC_READ | GENERIC_EXECUTE, 0x5},
        {GENERIC_ALL | GENERIC_WRITE | 0x10, 0x1A},
        {MAXIMUM_ALLOWED | SYNCHRONIZE | 0x40, MAXIMUM_ALLOWED | SYNCHRONIZE | 0x40},
    };
    for (const auto& c : cases) {
        DWORD access = c.before;
        MapGenericMask(&access, &mapping);
        EXPECT_EQ(access, c.after) << std::hex << c.before;
    }
}

} // namespace
