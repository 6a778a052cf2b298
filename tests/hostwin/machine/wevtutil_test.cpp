// wevtutil driven as people and scripts drive it: entries reported here, read back in text
// format with their descriptions from the registered message files (or the platform's text
// when there is none), in either order and number; and its refusals with their codes.
#include "imagebuilder.h"
#include "machine.h"

#include <windows.h>

#include <regex>
#include <string>
#include <vector>

using testing_support::ProgramResult;
using namespace image_builder;

namespace {

const char kNotFound[] =
    " cannot be found. Either the component that raises this event is not installed on your "
    "local computer or the installation is corrupted. You can install or repair the component on "
    "the local computer.\n\nIf the event originated on another computer, the display information "
    "had to be saved with the event.\n\nThe following information was included with the event: "
    "\n";

class WevtutilTest : public testing_support::MachineTest {
protected:
    ProgramResult Wevtutil(std::vector<std::string> args,
                           std::map<std::string, std::string> environment = {}) {
        args.insert(args.begin(), WEVTUTIL_EXE);
        environment["HOSTWIN_ROOT"] = Root();
        return testing_support::RunProgram(args, environment);
    }
    // Registers `file` as the message file of `source` in the Application log.
    static void RegisterSource(const std::u16string& source, const std::u16string& file) {
        hostwin::UniqueKey key;
        ASSERT_EQ(
            RegCreateKeyExW(
                HKEY_LOCAL_MACHINE,
                (u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source).c_str(),
                0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), u"EventMessageFile", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(file.c_str()),
                                 static_cast<DWORD>((file.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
    static void Report(const char16_t* source, WORD type, WORD category, DWORD id,
                       std::vector<LPCWSTR> strings) {
        HANDLE log = RegisterEventSourceW(nullptr, source);
        ASSERT_NE(log, nullptr);
        EXPECT_TRUE(ReportEventW(log, type, category, id, nullptr,
                                 static_cast<WORD>(strings.size()), 0, strings.data(), nullptr));
        EXPECT_TRUE(DeregisterEventSource(log));
    }
};

// The date and the computer vary; every other line is compared whole.
std::string Steady(const std::string& out) {
    static const std::regex date(R"(  Date: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\n)");
    static const std::regex computer(R"(  Computer: [^\n]*\n)");
    return std::regex_replace(std::regex_replace(out, date, "  Date: D\n"), computer,
                              "  Computer: C\n");
}

std::string Header(size_t index, const std::string& source, DWORD id, const char* task,
                   const char* level, const char* keyword = "Classic") {
    return "Event[" + std::to_string(index) + "]:\n  Log Name: Application\n  Source: " + source +
           "\n  Date: D\n  Event ID: " + std::to_string(id) + "\n  Task: " + task +
           "\n  Level: " + level + "\n  Opcode: N/A\n  Keyword: " + keyword +
           "\n  User: N/A\n  User Name: N/A\n  Computer: C\n  Description: \n";
}

TEST_F(WevtutilTest, DescriptionsComeFromTheRegisteredMessageFileOrThePlatformsText) {
    const std::string table = BuildMessageTable({
        {0, {{1, Utf16(u"%1%0")}}},
        {0x80000005, {{1, Utf16(u"Value %1 of %2.%nNext line%0")}}},
    });
    const std::string file = RootPath("drive_c/sample/sample.dll");
    testing_support::WriteFile(file, BuildPe({{11, 1, 0x0409, table}}));
    RegisterSource(u"sample", hostwin::WindowsPath(file));
    RegisterSource(u"gone", u"C:\\nowhere\\gone.dll");

    Report(u"sample", EVENTLOG_INFORMATION_TYPE, 0, 0, {u"Service stopped"});
    Report(u"sample", EVENTLOG_WARNING_TYPE, 3, 0x80000005, {u"a"}); // %2 has no string
    Report(u"sample", EVENTLOG_ERROR_TYPE, 0, 9, {u"x", u"y"});      // not in its file
    Report(u"gone", EVENTLOG_AUDIT_FAILURE, 0, 0x00010007, {u"z"});  // a file not there
    Report(u"nobody", EVENTLOG_SUCCESS, 0, 0, {});

    const std::string report = RootPath("handles.txt");
    ProgramResult all =
        Wevtutil({"qe", "Application", "/f:text"}, {{"HOSTWIN_HANDLE_REPORT", report}});
    EXPECT_EQ(all.exitStatus, 0) << all.err;
    EXPECT_EQ(all.err, "");
    const std::string events[] = {
        Header(0, "sample", 0, "N/A", "Information") + "Service stopped\n\n",
        Header(1, "sample", 5, "(3)", "Warning") + "Value a of %2.\nNext line\n\n",
        Header(2, "sample", 9, "N/A", "Error") +
            "The description for Event ID 9 from source sample" + kNotFound +
            "\nx\ny\n\nThe message resource is present but the message is not found in the "
            "string/message table\n\n",
        Header(3, "gone", 7, "N/A", "Information", "Audit Failure") +
            "The description for Event ID 7 from source gone" + kNotFound + "\nz\n\n",
        Header(4, "nobody", 0, "N/A", "Information") +
            "The description for Event ID 0 from source nobody" + kNotFound + "\n\n",
    };
    EXPECT_EQ(Steady(all.out), events[0] + events[1] + events[2] + events[3] + events[4]);
    EXPECT_NE(testing_support::ReadFile(report).find("module\t0\n"), std::string::npos)
        << "every message file freed";

    // The newest first, as many as asked for; the options in any case and either prefix.
    const auto renumbered = [](std::string event, size_t index) {
        return event.replace(6, 1, std::to_string(index));
    };
    ProgramResult newest = Wevtutil({"query-events", "APPLICATION", "-RD:TRUE", "/c:2", "/F:Text"});
    EXPECT_EQ(newest.exitStatus, 0) << newest.err;
    EXPECT_EQ(Steady(newest.out), renumbered(events[4], 0) + renumbered(events[3], 1));
    ProgramResult oldest = Wevtutil({"qe", "Application", "/format:text", "/count:1", "/rd:false"});
    EXPECT_EQ(Steady(oldest.out), events[0]);
}

TEST_F(WevtutilTest, ADamagedLineIsReportedAndTheOthersAreStillShown) {
    Report(u"nobody", EVENTLOG_INFORMATION_TYPE, 0, 0, {u"first"});
    const std::string log = RootPath("eventlog/Application.jsonl");
    std::string lines = testing_support::ReadFile(log);
    lines += "not json\n";
    lines +=
        R"({"time":"2024-05-01T12:00:00.123Z","source":"nobody","type":4,"category":0,"strings":[]})"
        "\n";
    lines += R"({"time":"yesterday","source":"nobody","type":4,"category":0,"id":0,"strings":[]})"
             "\n";
    lines +=
        R"({"time":"2024-05-01T12:00:00.123Z","source":"nobody","type":4,"category":0,"id":0,"strings":["last"]})"
        "\n";
    testing_support::WriteFile(log, lines);
    ProgramResult result = Wevtutil({"qe", "Application", "/f:text"});
    EXPECT_EQ(result.exitStatus, ERROR_EVENTLOG_FILE_CORRUPT & 0xFF);
    EXPECT_NE(result.out.find("included with the event: \n\nfirst\n"), std::string::npos);
    EXPECT_NE(result.out.find("Event[1]:"), std::string::npos);
    EXPECT_NE(result.out.find("included with the event: \n\nlast\n"), std::string::npos);
    EXPECT_EQ(result.out.find("Event[2]:"), std::string::npos) << result.out;
    for (int line : {2, 3, 4})
        EXPECT_NE(result.err.find("Failed to read the event at line " + std::to_string(line) +
                                  " of " + log + ". The event log file is corrupted.\n"),
                  std::string::npos)
            << result.err;
}

TEST_F(WevtutilTest, RefusalsCarryTheSystemsTextAndCode) {
    const std::string invalid = "Failed to read events. The parameter is incorrect.\n";
    const std::string unsupported = "Failed to read events. The request is not supported.\n";
    const struct {
        std::vector<std::string> args;
        DWORD code;
        std::string err;
    } cases[] = {
        {{"qe"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "/f:text"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "System", "/f:text"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:html"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:text", "/c:0"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:text", "/c:-1"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:text", "/c:"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:text", "/rd:maybe"}, ERROR_INVALID_PARAMETER, invalid},
        {{"qe", "Application", "/f:text", "/zz:1"}, ERROR_INVALID_PARAMETER, invalid},
        // Formats and filters of the Windows command that this host does not render.
        {{"qe", "Application"}, ERROR_NOT_SUPPORTED, unsupported},
        {{"qe", "Application", "/f:XML"}, ERROR_NOT_SUPPORTED, unsupported},
        {{"qe", "Application", "/f:text", "/q:*"}, ERROR_NOT_SUPPORTED, unsupported},
        {{"qe", "Security", "/f:text"},
         ERROR_EVT_CHANNEL_NOT_FOUND,
         "Failed to read events. The specified channel could not be found.\n"},
        {{"gl", "Application"},
         ERROR_INVALID_PARAMETER,
         "Unknown command gl. The parameter is incorrect.\n"},
        // A log nobody wrote to has no entries, and that is no failure.
        {{"qe", "system", "/f:text"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[0] + " " + c.args[1] : c.args[0]);
        ProgramResult result = Wevtutil(c.args, {{"HOSTWIN_SHOW_EXIT_CODE", "1"}});
        char code[32];
        std::snprintf(code, sizeof code, "exit code 0x%08X\n", c.code);
        EXPECT_EQ(result.err, c.err + code);
        EXPECT_EQ(result.out, "");
    }
    ProgramResult usage = Wevtutil({"/?"});
    EXPECT_EQ(usage.exitStatus, 0);
    EXPECT_NE(usage.out.find("qe | query-events"), std::string::npos) << usage.out;
}

} // namespace
