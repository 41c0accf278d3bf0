#include "office/Broker.h"

#include <mosquitto.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {
volatile std::sig_atomic_t stopFlag = 0;
void OnStopSignal(int) { stopFlag = 1; }
// Only there to interrupt: installed without SA_RESTART, so the connect in
// progress returns EINTR.
void OnConnectTimer(int) {}
}  // namespace

int ConnectWithin(mosquitto* mosq, const BrokerSettings& broker, bool again, int keepalive, int seconds) {
    struct sigaction action {};
    action.sa_handler = OnConnectTimer;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);  // stays: a late tick must not end the program
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;  // this thread, not the database's or the page's
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    timer_t timer{};
    const bool armed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (armed) {
        itimerspec when{};
        when.it_value.tv_sec = seconds;
        timer_settime(timer, 0, &when, nullptr);
    }
    const int rc = again ? mosquitto_reconnect(mosq)
                         : mosquitto_connect(mosq, broker.host.c_str(), broker.Port(), keepalive);
    if (armed) timer_delete(timer);
    return rc;
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
