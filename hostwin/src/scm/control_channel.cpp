// Both ends of the control channel.
#include "scm/control_channel.h"

#include "machine/machine_layout.h"
#include "scm/scm_store.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace hostwin::scm {

namespace {

bool SocketAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

enum class Received { Whole, TimedOut, Broken };

// Waits up to `wait` for `connection` to become readable (a signal does not cut the wait short),
// then reads one whole record.
Received ReceiveRecord(int connection, void* record, size_t size, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watched{connection, POLLIN, 0};
        int ready = poll(&watched, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Received::TimedOut;
        return recv(connection, record, size, MSG_WAITALL) == static_cast<ssize_t>(size)
                   ? Received::Whole
                   : Received::Broken;
    }
}

// A connection to the dispatcher of process `pid`; invalid when none can be reached.
UniqueFd ConnectToDispatcher(pid_t pid) {
    sockaddr_un address;
    if (!SocketAddress(layout::ScmControlSocket(pid), address))
        return UniqueFd();
    UniqueFd connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection ||
        connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return UniqueFd();
    return connection;
}

} // namespace

DWORD RefusedControl(const SERVICE_STATUS& status, DWORD control) {
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
        return ERROR_SERVICE_NOT_ACTIVE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING:
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    DWORD needed = 0;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        needed = SERVICE_ACCEPT_PARAMCHANGE;
        break;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        needed = SERVICE_ACCEPT_NETBINDCHANGE;
        break;
    }
    return needed && !(status.dwControlsAccepted & needed)
               ? static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL)
               : static_cast<DWORD>(ERROR_SUCCESS);
}

std::chrono::milliseconds ReplyWait() {
    return std::chrono::milliseconds(ServiceTimeout());
}

DWORD SendControl(pid_t pid, DWORD control) {
    UniqueFd connection = ConnectToDispatcher(pid);
    if (!connection)
        return ERROR_SERVICE_NOT_ACTIVE;
    return ExchangeControl(connection.get(), control, ReplyWait());
}

DWORD ExchangeControl(int connection, DWORD control, std::chrono::milliseconds wait) {
    ControlRequest request;
    request.control = control;
    // A dispatcher that closed the connection before the request went out takes no control any
    // more: its service has stopped or is stopping.
    if (send(connection, &request, sizeof request, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof request))
        return ERROR_SERVICE_NOT_ACTIVE;
    ControlReply reply;
    switch (ReceiveRecord(connection, &reply, sizeof reply, wait)) {
    case Received::Whole:
        return reply.tag == kControlReplyTag ? reply.error
                                             : static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE);
    case Received::Broken:
        return ERROR_SERVICE_NOT_ACTIVE;
    case Received::TimedOut:
        break;
    }
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

bool ControlListener::Listen() {
    Close();
    // The store makes the manager's folder when it first opens; the channel does not rely on it.
    std::error_code ignored;
    std::filesystem::create_directories(layout::ScmFolder(), ignored);
    const std::string folder = layout::ScmControlFolder();
    mkdir(folder.c_str(), 0700);
    chmod(folder.c_str(), 0700);
    const std::string path = layout::ScmControlSocket(getpid());
    sockaddr_un address;
    if (!SocketAddress(path, address)) {
        errno = ENAMETOOLONG;
        return false;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    unlink(path.c_str()); // left by an earlier process with this pid
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd.get(), 16) != 0) {
        int error = errno;
        fd.reset();
        unlink(path.c_str());
        errno = error;
        return false;
    }
    m_fd = std::move(fd);
    m_path = path;
    return true;
}

UniqueFd ControlListener::Accept() {
    return UniqueFd(accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

void ControlListener::Close() {
    if (m_fd) {
        m_fd.reset();
        unlink(m_path.c_str());
    }
    m_path.clear();
}

void PendingRequests::Add(UniqueFd connection) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (!connection || getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != geteuid())
        return;
    // Callers that only connect cannot exhaust the process's descriptors: the oldest goes.
    constexpr size_t kMaxPending = 64;
    if (m_pending.size() >= kMaxPending)
        m_pending.erase(m_pending.begin());
    m_pending.push_back(Pending{std::move(connection), ControlRequest{}, 0,
                                std::chrono::steady_clock::now() + m_wait});
}

int PendingRequests::Watch(std::vector<pollfd>& watched) const {
    if (m_pending.empty())
        return -1;
    auto earliest = m_pending.front().deadline;
    for (const Pending& pending : m_pending) {
        watched.push_back(pollfd{pending.connection.get(), POLLIN, 0});
        earliest = std::min(earliest, pending.deadline);
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(earliest - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

std::vector<std::pair<UniqueFd, ControlRequest>>
PendingRequests::Collect(const std::vector<pollfd>& watched, size_t first) {
    std::vector<std::pair<UniqueFd, ControlRequest>> whole;
    std::vector<Pending> kept;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m_pending.size(); ++i) {
        Pending& pending = m_pending[i];
        bool broken = false;
        if (first + i < watched.size() && watched[first + i].revents != 0) {
            auto* bytes = reinterpret_cast<char*>(&pending.request);
            ssize_t got = recv(pending.connection.get(), bytes + pending.received,
                               sizeof pending.request - pending.received, MSG_DONTWAIT);
            if (got > 0)
                pending.received += static_cast<size_t>(got);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                broken = true;
        }
        if (pending.received == sizeof pending.request) {
            if (pending.request.tag == kControlRequestTag)
                whole.emplace_back(std::move(pending.connection), pending.request);
        } else if (!broken && now < pending.deadline) {
            kept.push_back(std::move(pending));
        }
    }
    m_pending = std::move(kept);
    return whole;
}

void WriteControlReply(int connection, const ControlReply& reply) {
    send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
}

} // namespace hostwin::scm
