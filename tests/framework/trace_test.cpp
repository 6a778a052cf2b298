// Trace lines go byte-exact to the debug sink, filtered by level and category, and never
// disturb the caller's last error.
#include "machine.h"
#include "test_module.h"

#include "errors.h"
#include "trace.h"

#include <crtdbg.h>

#include <string>
#include <vector>

using testing_support::MachineTest;

namespace {

class TraceTest : public MachineTest {
protected:
    void TearDown() override {
        g_traceLevel = 0;
        g_traceCategoryMask = 0xFFFFFFFF;
        MachineTest::TearDown();
    }

    static std::vector<std::string> WarningTexts() {
        return testing_support::DebugReportTexts(_CRT_WARN);
    }
};

TEST_F(TraceTest, ThrowHResultTracesThenRaises) {
    try {
        ThrowHResult(E_FAIL);
        ADD_FAILURE() << "ThrowHResult returned";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.m_errorCode, E_FAIL);
    }
    EXPECT_EQ(WarningTexts(),
              std::vector<std::string>{"traceException - ThrowHResult: hr = 0x80004005\n"});
    std::vector<hostwin::DebugReport> reports = hostwin::DebugReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].file.find("errors.cpp"), std::string::npos) << "the call site is named";
    EXPECT_GT(reports[0].line, 0);
}

TEST_F(TraceTest, FiltersByLevelAndCategory) {
    struct Case {
        DWORD level;
        DWORD mask;
        DWORD category;
        UINT traceLevel;
        const char* emitted; // nullptr: dropped
    } cases[] = {
        {0, 0xFFFFFFFF, traceRegistrar, 0, "traceRegistrar - Num Els = 3\n"},
        {0, 0xFFFFFFFF, traceRegistrar, 2, nullptr},
        {0, 0xFFFFFFFF, traceCOM, 1, nullptr},
        {2, 0xFFFFFFFF, traceRegistrar, 2, "traceRegistrar - Num Els = 3\n"},
        {0xFFFFFFFF, 0xFFFFFFFF, traceGeneral, 0, nullptr},
        {0, ~static_cast<DWORD>(0x8), traceRegistrar, 0, nullptr},
        {0, 0xFFFFFFFF, 0x800000, 0, "8388608 - Num Els = 3\n"},
        {0, 0xFFFFFFFF, traceGeneral | traceCOM, 0, "3 - Num Els = 3\n"},
    };
    for (const Case& c : cases) {
        hostwin::ClearDebugReports();
        g_traceLevel = c.level;
        g_traceCategoryMask = c.mask;
        FRAMEWORK_TRACE(c.category, c.traceLevel, TEXT("Num Els = %d\n"), 3);
        std::vector<std::string> want;
        if (c.emitted)
            want.push_back(c.emitted);
        EXPECT_EQ(WarningTexts(), want)
            << "level " << c.level << " category " << c.category << " trace level " << c.traceLevel;
    }
}

TEST_F(TraceTest, AnEmptyMessageIsOnlyThePrefix) {
    FRAMEWORK_TRACE(traceGeneral, 0, TEXT(""));
    EXPECT_EQ(WarningTexts(), std::vector<std::string>{"traceGeneral - "});
}

TEST_F(TraceTest, LastErrorSurvivesEveryTrace) {
    for (UINT level : {0u, 2u}) {
        SetLastError(1234);
        FRAMEWORK_TRACE(traceGeneral, level, TEXT("%ls\n"), TEXT("x"));
        EXPECT_EQ(GetLastError(), 1234u) << "level " << level;
    }
    SetLastError(77);
    FRAMEWORK_TRACE(traceGeneral, 0, TEXT("%f"), 1.0); // a format the runtime refuses
    EXPECT_EQ(GetLastError(), 77u);
    EXPECT_EQ(WarningTexts().size(), 1u) << "only the first level-0 trace was emitted";
}

TEST_F(TraceTest, CategoriesAreRegisteredInProgramOrder) {
    const std::pair<const char16_t*, DWORD> expected[] = {
        {u"traceGeneral", 0x1},    {u"traceCOM", 0x2},           {u"traceRegistrar", 0x8},
        {u"traceWindowing", 0x20}, {u"traceException", 0x2000},  {u"traceQI", 0x4},
        {u"traceRefcount", 0x10},  {u"traceControls", 0x40},     {u"traceHosting", 0x80},
        {u"traceDBClient", 0x100}, {u"traceDBProvider", 0x200},  {u"traceSnapin", 0x400},
        {u"traceNotImpl", 0x800},  {u"traceAllocation", 0x1000}, {u"traceTime", 0x4000},
        {u"traceCache", 0x8000},   {u"traceStencil", 0x10000},   {u"traceString", 0x20000},
        {u"traceMap", 0x40000},    {u"traceUtil", 0x80000},      {u"traceSecurity", 0x100000},
        {u"traceSync", 0x200000},  {u"traceISAPI", 0x400000},
    };
    ASSERT_EQ(g_traceCategoryCount, 23u);
    for (unsigned i = 0; i < 23; ++i) {
        EXPECT_EQ(std::u16string(g_traceCategories[i].name), expected[i].first) << "entry " << i;
        EXPECT_EQ(g_traceCategories[i].flag, expected[i].second) << "entry " << i;
    }
    EXPECT_EQ(FindTraceCategoryName(0x3), nullptr) << "combined bits name no category";
}

TEST_F(TraceTest, TheThirtyThirdCategoryIsRefused) {
    const unsigned before = g_traceCategoryCount;
    for (unsigned i = before; i < kMaxTraceCategories; ++i)
        RegisterTraceCategory(TEXT("extra"), 0x1000000);
    ASSERT_EQ(g_traceCategoryCount, kMaxTraceCategories);
    EXPECT_TRUE(hostwin::DebugReports().empty());

    RegisterTraceCategory(TEXT("one too many"), 0x2000000);
    EXPECT_EQ(g_traceCategoryCount, kMaxTraceCategories);
    EXPECT_EQ(FindTraceCategoryName(0x2000000), nullptr);
    std::vector<hostwin::DebugReport> reports = hostwin::DebugReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reportType, _CRT_ASSERT);
    EXPECT_EQ(hostwin::ToUtf8(reports[0].text), "false && \"Too many categories defined\"");

    RegisterTraceCategory(nullptr, 0x4000000); // a NULL name registers nothing, reports nothing
    EXPECT_EQ(hostwin::DebugReports().size(), 1u);
    g_traceCategoryCount = before;
}

} // namespace
