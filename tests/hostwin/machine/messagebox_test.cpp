// Message boxes: answered OK, shown on stderr and recorded as JSON lines under the machine root.
#include "machine.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

class MessageBoxTest : public testing_support::MachineTest {
protected:
    // The records of messagebox.jsonl; every line must be one whole record.
    std::vector<json> Boxes() {
        std::vector<json> lines;
        std::istringstream in(testing_support::ReadFile(RootPath("messagebox.jsonl")));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(json::parse(line, nullptr, false));
            EXPECT_FALSE(lines.back().is_discarded()) << line;
        }
        return lines;
    }
};

TEST_F(MessageBoxTest, MessageBoxAnswersOkAndLeavesARecord) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(NULL, u"Service could not be installed", u"pellardservice",
                          MB_OK | MB_ICONERROR),
              IDOK);
    EXPECT_EQ(MessageBoxW(NULL, u"no caption", NULL, MB_OK), IDOK);
    SetLastError(0);
    EXPECT_EQ(MessageBoxW(NULL, u"Proceed?", u"question", 0x4 /* yes/no */), 0)
        << "OK is no answer to a yes/no question";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("pellardservice: Service could not be installed\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Error: no caption\n"), std::string::npos) << err;

    std::vector<json> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0]["caption"], "pellardservice");
    EXPECT_EQ(boxes[0]["text"], "Service could not be installed");
    EXPECT_EQ(boxes[0]["type"], MB_OK | MB_ICONERROR);
    EXPECT_EQ(boxes[1]["caption"], "Error");
}

} // namespace
