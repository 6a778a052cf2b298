// The control channel between the manager's calls and a service process's dispatcher: one
// connection per control over the process's Unix socket (layout::ScmControlSocket), one request
// record and one reply record, both ends here.
//
//   manager (ControlService)                 dispatcher (StartServiceCtrlDispatcherW)
//   SendControl: connect         ---------->  ControlListener::Accept
//                ControlRequest  ---------->  PendingRequests: the peer is this user's
//                                             the handler runs on the dispatcher's thread
//                ControlReply    <----------  WriteControlReply, once the handler returned
//
// Time-outs: the manager waits for the reply as long as a service may take to answer a control
// (ServiceTimeout, time-scaled); the dispatcher gives each connection it accepted kRequestWait,
// not time-scaled, for its whole request, reading every connection as its bytes come, so that a
// caller that connects and says nothing, or half a request, holds up no other caller.
#pragma once

#include <hostwin/owner.h>

#include <windows.h>

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hostwin::scm {

// Each record starts with its own tag, which changes with the record's layout: a record with
// another tag, or cut short, is refused whole.
constexpr uint32_t kControlRequestTag = 0x31514353; // "SCQ1"
constexpr uint32_t kControlReplyTag = 0x31504353;   // "SCP1"

struct ControlRequest {
    uint32_t tag = kControlRequestTag;
    DWORD control = 0;
};

struct ControlReply {
    uint32_t tag = kControlReplyTag;
    DWORD error = ERROR_SUCCESS; // ERROR_SUCCESS once the handler has returned
};

// The code a control meets with a service whose latest status is `status`: ERROR_SUCCESS when it
// is delivered; 1062 stopped, 1061 pending, 1052 a standard control it does not accept
// (interrogate and the user-defined codes always go through). The manager checks it against
// the record, the dispatcher again against the service's own latest report as it delivers it.
DWORD RefusedControl(const SERVICE_STATUS& status, DWORD control);

constexpr std::chrono::milliseconds kRequestWait{5000};
// How long the manager waits for a reply.
std::chrono::milliseconds ReplyWait();

// The manager's end. Delivers `control` to the dispatcher of process `pid` and waits for its
// reply: the reply's code; ERROR_SERVICE_NOT_ACTIVE when no dispatcher listens there or it
// hangs up without a whole reply; ERROR_SERVICE_REQUEST_TIMEOUT when the request cannot be sent
// or no reply comes in time.
DWORD SendControl(pid_t pid, DWORD control);
// The same over a connected socket, waiting `wait` for the reply.
DWORD ExchangeControl(int connection, DWORD control, std::chrono::milliseconds wait);

// The dispatcher's end: the socket of this process, reachable by this machine's user only
// (the folder is the user's alone and the socket carries no rights for anyone else).
class ControlListener {
public:
    ControlListener() = default;
    ~ControlListener() { Close(); }
    ControlListener(const ControlListener&) = delete;
    ControlListener& operator=(const ControlListener&) = delete;

    // Listens at this process's socket; false (errno set) when it cannot.
    bool Listen();
    int Fd() const { return m_fd.get(); }
    // The next connection; invalid when the accept failed.
    UniqueFd Accept();
    // Stops listening and removes the socket.
    void Close();

private:
    UniqueFd m_fd;
    std::string m_path;
};

// The connections a dispatcher has accepted whose request is still coming in. Each is read as
// its bytes arrive, never blocking, so that a caller that sends part of a request and stays
// connected holds up no other caller's control; a connection whose peer is another user, that
// sends a record with another tag or cut short, or that has no whole request `wait` after it was
// added, is dropped.
class PendingRequests {
public:
    explicit PendingRequests(std::chrono::milliseconds wait = kRequestWait) : m_wait(wait) {}

    void Add(UniqueFd connection);
    bool Empty() const { return m_pending.empty(); }
    // Appends a pollfd for each connection to `watched`; returns the poll time-out in
    // milliseconds: until the earliest deadline, -1 when there is none.
    int Watch(std::vector<pollfd>& watched) const;
    // After the poll over `watched`, whose entries from `first` on are Watch's: reads what came
    // in and drops the connections refused or past their deadline. The connections whose request
    // is now whole leave the set with it.
    std::vector<std::pair<UniqueFd, ControlRequest>> Collect(const std::vector<pollfd>& watched,
                                                             size_t first);

private:
    struct Pending {
        UniqueFd connection;
        ControlRequest request;
        size_t received = 0;
        std::chrono::steady_clock::time_point deadline;
    };
    std::chrono::milliseconds m_wait;
    std::vector<Pending> m_pending;
};

void WriteControlReply(int connection, const ControlReply& reply);

} // namespace hostwin::scm
