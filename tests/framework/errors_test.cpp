// Error conversion, the raising helpers and failed-check reports.
#include "machine.h"
#include "test_module.h"

#include "errors.h"
#include "simplecoll.h"

#include <crtdbg.h>
#include <tchar.h>

#include <cstdlib>
#include <new>
#include <stdexcept>

using testing_support::MachineTest;

namespace {

class ErrorsTest : public MachineTest {
protected:
    void TearDown() override {
        hostwin::SetAssertReportAnswer(0);
        MachineTest::TearDown();
    }
};

TEST_F(ErrorsTest, ConvertsWin32CodesToHResults) {
    struct Case {
        LONG code;
        HRESULT want;
    } cases[] = {
        {0, S_OK},
        {5, static_cast<HRESULT>(0x80070005)},
        {534, static_cast<HRESULT>(0x80070216)},
        {0x12345, static_cast<HRESULT>(0x80072345)},
        {static_cast<LONG>(0x80004005), E_FAIL},
        {-1, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HResultFromWin32(c.code), c.want) << c.code;
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(HResultFromLastError(), E_ACCESSDENIED);
}

HRESULT RaisedBy(int crtError) {
    try {
        CheckCrtError(crtError);
    } catch (const CHResultException& e) {
        return e.m_errorCode;
    }
    return S_OK;
}

TEST_F(ErrorsTest, EachExceptionTypeHasItsHResult) {
    struct Case {
        const char* what;
        std::exception_ptr exception;
        HRESULT want;
    } cases[] = {
        {"framework error", std::make_exception_ptr(CHResultException(E_ACCESSDENIED)),
         E_ACCESSDENIED},
        {"framework success code", std::make_exception_ptr(CHResultException(S_FALSE)), S_FALSE},
        {"allocation failure", std::make_exception_ptr(std::bad_alloc()), E_OUTOFMEMORY},
        {"other standard exception", std::make_exception_ptr(std::runtime_error("x")),
         kUnknownExceptionResult},
        {"not even a class", std::make_exception_ptr(5), kUnknownExceptionResult},
        {"no exception", std::exception_ptr(), kUnknownExceptionResult},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HResultOfException(c.exception), c.want) << c.what;
}

TEST_F(ErrorsTest, CheckCrtErrorPassesSuccessAndTruncationAndRaisesTheRest) {
    EXPECT_EQ(CheckCrtError(0), 0);
    EXPECT_EQ(CheckCrtError(STRUNCATE), STRUNCATE);
    struct Case {
        int error;
        HRESULT raised;
    } cases[] = {
        {ENOMEM, E_OUTOFMEMORY}, {EINVAL, E_INVALIDARG}, {ERANGE, E_INVALIDARG}, {1, E_FAIL}};
    for (const Case& c : cases)
        EXPECT_EQ(RaisedBy(c.error), c.raised) << c.error;
}

TEST_F(ErrorsTest, MultiplySizesDetectsOverflowAndLeavesTheResultAlone) {
    struct Case {
        DWORD a, b;
        HRESULT hr;
        DWORD product;
    } cases[] = {
        {0x10000, 0x10000, static_cast<HRESULT>(0x80070216), 0xDEAD},
        {0xFFFF, 0x10001, S_OK, 0xFFFFFFFF},
        {0, 0xFFFFFFFF, S_OK, 0},
    };
    for (const Case& c : cases) {
        DWORD product = 0xDEAD;
        EXPECT_EQ(MultiplySizes(c.a, c.b, &product), c.hr);
        EXPECT_EQ(product, c.product);
    }
}

TEST_F(ErrorsTest, FailedCheckIsReportedAtAssertionLevelAndExecutionGoesOn) {
    hostwin::EnableCallLog(true);
    int* nothing = nullptr;
    bool ok = CHECK_OR_REPORT(nothing != 0);
    EXPECT_FALSE(ok);
    std::vector<hostwin::DebugReport> reports = hostwin::DebugReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reportType, _CRT_ASSERT);
    EXPECT_EQ(hostwin::ToUtf8(reports[0].text), "nothing != 0");
    EXPECT_NE(reports[0].file.find("errors_test.cpp"), std::string::npos);
    EXPECT_TRUE(hostwin::CallLog("DebugBreak").empty()) << "the default answer does not break";

    // Answer 1 asks for the debugger; without one the break is the breakpoint exception.
    static DWORD s_raised = 0;
    LPTOP_LEVEL_EXCEPTION_FILTER previous =
        SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* pointers) -> LONG {
            s_raised = pointers->ExceptionRecord->ExceptionCode;
            return EXCEPTION_CONTINUE_EXECUTION;
        });
    hostwin::SetAssertReportAnswer(1);
    REPORT_FAILED_CHECK("0");
    SetUnhandledExceptionFilter(previous);
    EXPECT_EQ(hostwin::CallLog("DebugBreak").size(), 1u);
    EXPECT_EQ(s_raised, static_cast<DWORD>(EXCEPTION_BREAKPOINT));
    EXPECT_TRUE(CHECK_OR_REPORT(reports.size() == 1u));
    EXPECT_EQ(hostwin::DebugReports().size(), 2u) << "a condition that holds is not reported";
}

TEST_F(ErrorsTest, ArrayIndexOutsideTheElementsIsReportedAndRaised) {
    setenv("HOSTWIN_SHOW_EXIT_CODE", "1", 1);
    setenv("HOSTWIN_DEBUG_OUTPUT", "stderr", 1);
    EXPECT_EXIT(
        {
            CSimpleArray<int> values;
            values.Add(1);
            (void)values[1];
        },
        ::testing::ExitedWithCode(0x8C),
        "Assertion failed: nIndex >= 0 && nIndex < m_nSize\n(.|\n)*exit code 0xC000008C");
    unsetenv("HOSTWIN_SHOW_EXIT_CODE");
    unsetenv("HOSTWIN_DEBUG_OUTPUT");
}

TEST_F(ErrorsTest, ArrayKeepsOrderAndRefusesToGrowFromItsOwnStorage) {
    CSimpleArray<int> values;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(values.Add(i * 10));
    values.Add(20); // a duplicate: only the first copy goes on Remove
    EXPECT_TRUE(values.Remove(20));
    ASSERT_EQ(values.GetSize(), 4);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[1], 10);
    EXPECT_EQ(values[2], 30);
    EXPECT_EQ(values[3], 20);
    EXPECT_FALSE(values.Remove(99));

    for (int value : {40, 50, 60, 70})
        values.Add(value); // now full: the next Add must grow
    ASSERT_EQ(values.GetSize(), 8);
    try {
        values.Add(values[0]);
        ADD_FAILURE() << "appending an own element while growing must raise";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.m_errorCode, E_FAIL);
    }
    EXPECT_EQ(values.GetSize(), 8);
    int copy = values[0];
    EXPECT_TRUE(values.Add(copy));
    EXPECT_EQ(values[8], 0);
}

} // namespace
