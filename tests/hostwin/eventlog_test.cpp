// The event log and message boxes, written as JSON lines under the machine root.
#include "machine.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;
using testing_support::ReadFile;

namespace {

class EventLogTest : public MachineTest {
protected:
    std::vector<nlohmann::json> Lines(const std::string& relative) {
        std::vector<nlohmann::json> lines;
        std::istringstream in(ReadFile(RootPath(relative)));
        std::string line;
        while (std::getline(in, line)) {
            nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
            EXPECT_FALSE(parsed.is_discarded()) << line;
            lines.push_back(parsed);
        }
        return lines;
    }
    std::vector<nlohmann::json> Events() { return Lines("eventlog/Application.jsonl"); }
};

TEST_F(EventLogTest, EachReportAppendsOneJsonLine) {
    HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::EventSource), 1u);

    LPCWSTR first[] = {u"Service stopped"};
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, NULL, 1, 0, first, NULL));
    // Text beyond ASCII, and a lone surrogate, which has no UTF-8 form of its own.
    const WCHAR broken[] = {u'a', 0xD800, u'b', 0};
    LPCWSTR second[] = {u"caf\u00E9", broken};
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 3, 1001, NULL, 2, 0, second, NULL));
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 7, NULL, 0, 0, NULL, NULL));
    EXPECT_TRUE(DeregisterEventSource(source));

    auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    const std::regex utcTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const nlohmann::json& event : events) {
        EXPECT_EQ(event["source"], "pellardservice");
        EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(), utcTime)) << event;
    }
    EXPECT_EQ(events[0]["type"], 4);
    EXPECT_EQ(events[0]["category"], 0);
    EXPECT_EQ(events[0]["id"], 0);
    EXPECT_EQ(events[0]["strings"], nlohmann::json({"Service stopped"}));
    EXPECT_EQ(events[1]["type"], 2);
    EXPECT_EQ(events[1]["category"], 3);
    EXPECT_EQ(events[1]["id"], 1001);
    EXPECT_EQ(events[1]["strings"], nlohmann::json({"caf\u00E9", "a\uFFFDb"}));
    EXPECT_EQ(events[2]["type"], 1);
    EXPECT_EQ(events[2]["strings"], nlohmann::json::array());
}

TEST_F(EventLogTest, RefusedReportsWriteNothing) {
    HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
    ASSERT_NE(source, nullptr);
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    LPCWSTR one[] = {u"x"};
    LPCWSTR missing[] = {NULL};
    BYTE data[4] = {};
    int sid = 0;
    struct Case {
        const char* name;
        HANDLE handle;
        WORD type;
        PSID sid;
        WORD count;
        LPCWSTR* strings;
        DWORD dataSize;
        DWORD error;
    } cases[] = {
        {"closed handle", reinterpret_cast<HANDLE>(0x7FF0), 4, NULL, 1, one, 0,
         ERROR_INVALID_HANDLE},
        {"event handle", event, 4, NULL, 1, one, 0, ERROR_INVALID_HANDLE},
        {"unknown type", source, 3, NULL, 1, one, 0, ERROR_INVALID_PARAMETER},
        {"count without strings", source, 4, NULL, 1, NULL, 0, ERROR_INVALID_PARAMETER},
        {"null string", source, 4, NULL, 1, missing, 0, ERROR_INVALID_PARAMETER},
        {"user SID", source, 4, &sid, 1, one, 0, ERROR_NOT_SUPPORTED},
        {"binary data", source, 4, NULL, 1, one, sizeof data, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_FALSE(
            ReportEventW(c.handle, c.type, 0, 0, c.sid, c.count, c.dataSize, c.strings, data));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(DeregisterEventSource(source));
    CloseHandle(event);
}

TEST_F(EventLogTest, SourcesAreLocalAndClosedOnce) {
    SetLastError(0);
    EXPECT_EQ(RegisterEventSourceW(u"\\\\elsewhere", u"pellardservice"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(RegisterEventSourceW(NULL, NULL), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(CloseHandle(source)) << "an event source has its own close";
    EXPECT_TRUE(DeregisterEventSource(source));
    SetLastError(0);
    EXPECT_FALSE(DeregisterEventSource(source));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(EventLogTest, ConcurrentReportersNeverInterleaveLines) {
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            // Each reporter opens and closes its own source per message, as the service does.
            std::u16string text(300, static_cast<char16_t>(u'A' + t));
            LPCWSTR strings[] = {text.c_str()};
            for (int i = 0; i < kEach; ++i) {
                HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
                ASSERT_NE(source, nullptr);
                EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0,
                                         static_cast<DWORD>(t), NULL, 1, 0, strings, NULL));
                DeregisterEventSource(source);
            }
        });
    for (std::thread& t : threads)
        t.join();
    auto events = Events();
    ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEach));
    for (const nlohmann::json& event : events) {
        int t = event["id"].get<int>();
        EXPECT_EQ(event["strings"][0], std::string(300, static_cast<char>('A' + t)));
    }
}

TEST_F(EventLogTest, MessageBoxAnswersOkAndLeavesARecord) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(NULL, u"Service could not be installed", u"pellardservice",
                          MB_OK | MB_ICONERROR),
              IDOK);
    EXPECT_EQ(MessageBoxW(NULL, u"no caption", NULL, MB_OK), IDOK);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("pellardservice: Service could not be installed\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Error: no caption\n"), std::string::npos) << err;

    constexpr UINT kYesNo = 0x00000004;
    SetLastError(0);
    EXPECT_EQ(MessageBoxW(NULL, u"Proceed?", u"question", kYesNo), 0)
        << "OK is no answer to a yes/no question";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    auto boxes = Lines("messagebox.jsonl");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0]["caption"], "pellardservice");
    EXPECT_EQ(boxes[0]["text"], "Service could not be installed");
    EXPECT_EQ(boxes[0]["type"], MB_OK | MB_ICONERROR);
    EXPECT_EQ(boxes[1]["caption"], "Error");
}

} // namespace
