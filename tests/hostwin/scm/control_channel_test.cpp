// The control channel on its own: a control goes to the dispatcher and its code comes back;
// a record cut short or with another tag is refused whole at either end; each end's wait for
// a record is bounded.
#include "machine.h"

#include "machine/machine_layout.h"
#include "scm/control_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace hostwin::scm;
using hostwin::UniqueFd;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class ControlChannelTest : public testing_support::MachineTest {
protected:
    // A connected pair: [0] the manager's end, [1] the dispatcher's.
    void Connect() {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_manager.reset(fds[0]);
        m_dispatcher.reset(fds[1]);
    }
    void Put(int fd, const std::string& bytes) {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The request read from `connection` as the dispatcher reads it; nothing when it is refused
    // or not whole within `wait`.
    static std::optional<ControlRequest> Read(UniqueFd connection,
                                              milliseconds wait = kRequestWait) {
        PendingRequests requests(wait);
        requests.Add(std::move(connection));
        while (!requests.Empty()) {
            std::vector<pollfd> watched;
            int timeout = requests.Watch(watched);
            poll(watched.data(), watched.size(), timeout);
            auto whole = requests.Collect(watched, 0);
            if (!whole.empty())
                return whole.front().second;
        }
        return std::nullopt;
    }
    template <class Record> static std::string Bytes(const Record& record) {
        return std::string(reinterpret_cast<const char*>(&record), sizeof record);
    }

    UniqueFd m_manager;
    UniqueFd m_dispatcher;
};

TEST_F(ControlChannelTest, ControlReachesTheDispatcherAndItsAnswerComesBack) {
    ControlListener listener;
    ASSERT_TRUE(listener.Listen());
    const std::string socket = hostwin::layout::ScmControlSocket(getpid());
    ASSERT_TRUE(std::filesystem::exists(socket));

    const struct {
        DWORD control;
        DWORD answer;
    } cases[] = {{SERVICE_CONTROL_STOP, ERROR_SUCCESS}, {255, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}};
    for (const auto& c : cases) {
        std::future<DWORD> sent =
            std::async(std::launch::async, [&] { return SendControl(getpid(), c.control); });
        UniqueFd connection = listener.Accept();
        ASSERT_TRUE(connection);
        std::optional<ControlRequest> request = Read(UniqueFd(dup(connection.get())));
        ASSERT_TRUE(request);
        EXPECT_EQ(request->control, c.control);
        ControlReply reply;
        reply.error = c.answer;
        WriteControlReply(connection.get(), reply);
        ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(sent.get(), c.answer) << c.control;
    }

    listener.Close();
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_EQ(SendControl(getpid(), SERVICE_CONTROL_STOP),
              static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE))
        << "no dispatcher listens any more";
}

TEST_F(ControlChannelTest, DispatcherRefusesAnythingButOneWholeRequest) {
    ControlRequest garbled;
    garbled.tag = kControlReplyTag; // a reply where a request belongs
    const std::string whole = Bytes(ControlRequest{});
    const struct {
        const char* what;
        std::string bytes;
        bool hangUp;
    } cases[] = {
        {"cut short, then closed", whole.substr(0, sizeof(ControlRequest) - 1), true},
        {"another tag", Bytes(garbled), false},
        {"nothing at all, then closed", "", true},
    };
    for (const auto& c : cases) {
        Connect();
        if (!c.bytes.empty())
            Put(m_manager.get(), c.bytes);
        if (c.hangUp)
            shutdown(m_manager.get(), SHUT_WR);
        EXPECT_FALSE(Read(std::move(m_dispatcher), milliseconds(2000))) << c.what;
    }
}

TEST_F(ControlChannelTest, EachEndWaitsForItsRecordOnlyAsLongAsItsTimeOut) {
    const milliseconds wait(100);

    Connect(); // a caller that connects and says nothing
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(Read(std::move(m_dispatcher), wait));
    milliseconds waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_GE(waited, wait - milliseconds(1));
    EXPECT_LT(waited, milliseconds(5000));

    Connect(); // a dispatcher whose handler does not return
    start = Clock::now();
    EXPECT_EQ(ExchangeControl(m_manager.get(), SERVICE_CONTROL_STOP, wait),
              static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_GE(waited, wait - milliseconds(1));
    EXPECT_LT(waited, milliseconds(5000));
}

// A caller that sends part of a request and stays connected holds up no other caller: the
// whole request behind it is taken at once, the partial one dropped at its own deadline.
TEST_F(ControlChannelTest, APartialRequestHoldsUpNoOtherConnection) {
    PendingRequests requests(milliseconds(300));
    Connect();
    UniqueFd slowCaller = std::move(m_manager);
    Put(slowCaller.get(), Bytes(ControlRequest{}).substr(0, 2));
    requests.Add(std::move(m_dispatcher));
    Connect();
    ControlRequest stop;
    stop.control = SERVICE_CONTROL_STOP;
    Put(m_manager.get(), Bytes(stop));
    requests.Add(std::move(m_dispatcher));

    const Clock::time_point start = Clock::now();
    std::vector<DWORD> taken;
    while (!requests.Empty()) {
        std::vector<pollfd> watched;
        int timeout = requests.Watch(watched);
        ASSERT_GE(poll(watched.data(), watched.size(), timeout), 0);
        for (auto& [connection, request] : requests.Collect(watched, 0)) {
            taken.push_back(request.control);
            EXPECT_LT(Clock::now() - start, milliseconds(200)) << "not behind the partial one";
        }
    }
    EXPECT_EQ(taken, std::vector<DWORD>{SERVICE_CONTROL_STOP});
    EXPECT_GE(Clock::now() - start, milliseconds(299)) << "the partial one kept to its deadline";
}

TEST_F(ControlChannelTest, ManagerTakesOnlyAWholeReplyAsTheAnswer) {
    ControlReply answer;
    answer.error = ERROR_INVALID_SERVICE_CONTROL;
    ControlReply garbled = answer;
    garbled.tag = kControlRequestTag;
    const struct {
        const char* what;
        std::string bytes;
        bool hangUp;
        DWORD expected;
    } cases[] = {
        {"whole reply", Bytes(answer), false, ERROR_INVALID_SERVICE_CONTROL},
        {"cut short, then closed", Bytes(answer).substr(0, sizeof answer - 1), true,
         ERROR_SERVICE_NOT_ACTIVE},
        {"another tag", Bytes(garbled), false, ERROR_SERVICE_NOT_ACTIVE},
        {"closed without a reply", "", true, ERROR_SERVICE_NOT_ACTIVE},
    };
    for (const auto& c : cases) {
        Connect();
        if (!c.bytes.empty())
            Put(m_dispatcher.get(), c.bytes);
        if (c.hangUp) // after the request has gone: the peer only stops writing
            shutdown(m_dispatcher.get(), SHUT_WR);
        EXPECT_EQ(ExchangeControl(m_manager.get(), SERVICE_CONTROL_INTERROGATE, milliseconds(2000)),
                  c.expected)
            << c.what;
    }
}

} // namespace
