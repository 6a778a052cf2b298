// The control channel between the manager's calls and a service process's dispatcher: one
// connection per control over the process's Unix socket (layout::ScmControlSocket), one request
// record and one reply record, both ends here.
//
//   manager (ControlService)                 dispatcher (StartServiceCtrlDispatcherW)
//   SendControl: connect         ---------->  ControlListener::Accept
//                ControlRequest  ---------->  ReadControlRequest: the peer is this user's
//                                             the handler runs on the dispatcher's thread
//                ControlReply    <----------  WriteControlReply, once the handler returned
//
// Time-outs: the manager waits for the reply as long as a service may take to answer a control
// (ServiceTimeout, time-scaled); the dispatcher waits kRequestWait, not time-scaled, for the
// request of a connection it accepted, so that a caller that connects and says nothing cannot
// hold the service's controls for long. Either end waits for readiness, then for the whole record.
#pragma once

#include <hostwin/owner.h>

#include <windows.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

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

// The request on an accepted connection; nothing when the peer is another user, sends no whole
// request within `wait`, or sends a record with another tag.
std::optional<ControlRequest> ReadControlRequest(int connection,
                                                 std::chrono::milliseconds wait = kRequestWait);
void WriteControlReply(int connection, const ControlReply& reply);

} // namespace hostwin::scm
