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
    if (send(connection, &request, sizeof request, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof request))
        return ERROR_SERVICE_REQUEST_TIMEOUT;
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

std::optional<ControlRequest> ReadControlRequest(int connection, std::chrono::milliseconds wait) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid())
        return std::nullopt;
    ControlRequest request;
    if (ReceiveRecord(connection, &request, sizeof request, wait) != Received::Whole ||
        request.tag != kControlRequestTag)
        return std::nullopt;
    return request;
}

void WriteControlReply(int connection, const ControlReply& reply) {
    send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
}

} // namespace hostwin::scm
