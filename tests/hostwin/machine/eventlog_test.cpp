// The event log, written as JSON lines under the machine root.
#include "machine.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;
using testing_support::MachineTest;

namespace {

class EventLogTest : public MachineTest {
protected:
    // The records of a JSON lines file below the root; every line must be one whole record.
    std::vector<json> Lines(const std::string& relative = "eventlog/Application.jsonl") {
        std::vector<json> lines;
        std::istringstream in(testing_support::ReadFile(RootPath(relative)));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(json::parse(line, nullptr, false));
            EXPECT_FALSE(lines.back().is_discarded()) << line;
        }
        return lines;
    }
};

TEST_F(EventLogTest, EachReportAppendsOneJsonLine) {
    HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
    ASSERT_NE(source, nullptr);
    // Text beyond ASCII, and a lone surrogate, which has no UTF-8 form of its own.
    const WCHAR broken[] = {u'a', 0xD800, u'b', 0};
    LPCWSTR second[] = {u"caf\u00E9", broken};
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 3, 1001, NULL, 2, 0, second, NULL));
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 7, NULL, 0, 0, NULL, NULL));
    EXPECT_TRUE(DeregisterEventSource(source));

    const json expected[] = {{{"type", 2},
                              {"category", 3},
                              {"id", 1001},
                              {"strings", json::array({"caf\u00E9", "a\uFFFDb"})}},
                             {{"type", 1}, {"category", 0}, {"id", 7}, {"strings", json::array()}}};
    std::vector<json> events = Lines();
    ASSERT_EQ(events.size(), 2u);
    const std::regex utcTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_TRUE(std::regex_match(events[i].value("time", ""), utcTime)) << events[i];
        json fields = expected[i];
        fields["time"] = events[i].value("time", "");
        fields["source"] = "pellardservice";
        EXPECT_EQ(events[i], fields);
    }
}

TEST_F(EventLogTest, RefusedSourcesAndReportsWriteNothing) {
    SetLastError(0);
    EXPECT_EQ(RegisterEventSourceW(u"\\\\elsewhere", u"pellardservice"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(RegisterEventSourceW(NULL, NULL), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE source = RegisterEventSourceW(NULL, u"pellardservice");
    ASSERT_NE(source, nullptr);
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    LPCWSTR one[] = {u"x"}, missing[] = {NULL};
    int sid = 0;
    auto refused = [](HANDLE handle, WORD type, PSID user, LPCWSTR* strings, DWORD dataSize) {
        BYTE data[4] = {};
        SetLastError(0);
        EXPECT_FALSE(ReportEventW(handle, type, 0, 0, user, 1, dataSize, strings, data));
        return GetLastError();
    };
    constexpr DWORD kBadHandle = ERROR_INVALID_HANDLE, kBadParameter = ERROR_INVALID_PARAMETER,
                    kUnsupported = ERROR_NOT_SUPPORTED;
    EXPECT_EQ(refused(reinterpret_cast<HANDLE>(0x7FF0), 4, NULL, one, 0), kBadHandle);
    EXPECT_EQ(refused(event, 4, NULL, one, 0), kBadHandle);
    EXPECT_EQ(refused(source, 3, NULL, one, 0), kBadParameter) << "no such type";
    EXPECT_EQ(refused(source, 4, NULL, NULL, 0), kBadParameter);
    EXPECT_EQ(refused(source, 4, NULL, missing, 0), kBadParameter);
    EXPECT_EQ(refused(source, 4, &sid, one, 0), kUnsupported);
    EXPECT_EQ(refused(source, 4, NULL, one, 4), kUnsupported);
    EXPECT_TRUE(Lines().empty());

    EXPECT_TRUE(DeregisterEventSource(source));
    SetLastError(0);
    EXPECT_FALSE(DeregisterEventSource(source));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
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
                EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0,
                                         static_cast<DWORD>(t), NULL, 1, 0, strings, NULL));
                DeregisterEventSource(source);
            }
        });
    for (std::thread& t : threads)
        t.join();
    std::vector<json> events = Lines();
    ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEach));
    for (const json& event : events)
        EXPECT_EQ(event["strings"][0],
                  std::string(300, static_cast<char>('A' + event.value("id", 0))));
}

} // namespace
