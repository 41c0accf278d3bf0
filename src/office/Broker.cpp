#include "office/Broker.h"

#include <mosquitto.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {
volatile std::sig_atomic_t stopFlag = 0;
void OnStopSignal(int) { stopFlag = 1; }

// Whether a TCP connection to the broker comes up within `seconds` (a
// probe, closed at once); false with errno set.
bool BrokerAnswers(const BrokerSettings& broker, int seconds) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(broker.host.c_str(), std::to_string(broker.Port()).c_str(), &hints, &found) != 0 || !found) {
        errno = EHOSTUNREACH;
        return false;
    }
    int error = ETIMEDOUT;
    for (addrinfo* a = found; a != nullptr && error != 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            error = 0;
        } else if (errno != EINPROGRESS) {
            error = errno;
        } else {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, seconds * 1000) == 1) {
                socklen_t size = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            } else {
                error = ETIMEDOUT;
            }
        }
        close(fd);
    }
    freeaddrinfo(found);
    errno = error;
    return error == 0;
}

}  // namespace

int ConnectWithin(mosquitto* mosq, const BrokerSettings& broker, bool again, int keepalive, int seconds) {
    if (!BrokerAnswers(broker, seconds)) return MOSQ_ERR_ERRNO;
    return again ? mosquitto_reconnect(mosq) : mosquitto_connect(mosq, broker.host.c_str(), broker.Port(), keepalive);
}

bool ApplyBrokerTls(mosquitto* mosq, const BrokerSettings& broker, std::string* why) {
    if (broker.caFile.empty()) {
        if (!broker.certFile.empty() || !broker.keyFile.empty()) {
            *why = "a certificate needs a CA file too (TLS)";
            return false;
        }
        return true;
    }
    if (broker.certFile.empty() != broker.keyFile.empty()) {
        *why = "a certificate needs its key, and a key its certificate";
        return false;
    }
    const int rc = mosquitto_tls_set(mosq, broker.caFile.c_str(), nullptr,
                                     broker.certFile.empty() ? nullptr : broker.certFile.c_str(),
                                     broker.keyFile.empty() ? nullptr : broker.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = "TLS files refused: " + BrokerError(rc);
        return false;
    }
    return true;
}

std::string BrokerError(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return mosquitto_strerror(rc) + std::string(" (") + std::strerror(errno) + ")";
    return mosquitto_strerror(rc);
}

std::string BrokerRefusal(int connackCode) { return mosquitto_connack_string(connackCode); }

std::string PrintableLine(const std::string& text, std::size_t limit) {
    std::string out;
    for (char c : text.substr(0, limit)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (text.size() > limit) out += "...";
    return out;
}

volatile std::sig_atomic_t* InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return &stopFlag;
}
