#pragma once
// The broker connection both office programs share: where it is and the
// TLS files (a CA file turns TLS on; a certificate and key identify this
// side to a broker that asks for them).
#include <csignal>
#include <cstddef>
#include <string>

struct mosquitto;

struct BrokerSettings {
    std::string host = "localhost";
    int port = 0;  // 0: 8883 with TLS, 1883 without
    std::string caFile, certFile, keyFile;

    int Port() const { return port ? port : (caFile.empty() ? 1883 : 8883); }
    std::string Where() const { return host + ":" + std::to_string(Port()); }
};

// Applies the TLS settings; false with the reason.
bool ApplyBrokerTls(mosquitto* mosq, const BrokerSettings& broker, std::string* why);
// The text of a libmosquitto result or CONNACK code.
std::string BrokerError(int rc);
std::string BrokerRefusal(int connackCode);
// A text from the network cut to one printable line.
std::string PrintableLine(const std::string& text, std::size_t limit = 120);
// Connects (again, with `again`) when the broker answers a probe within
// `seconds`. libmosquitto's connect blocks: one whose SYNs vanish in a dead
// link would wait out the kernel's retries, two minutes and more, however
// soon the link is back. The probe gives up in time, and the caller tries
// again with a fresh socket; MOSQ_ERR_ERRNO (errno ETIMEDOUT) then.
constexpr int kBrokerConnectSeconds = 15;
int ConnectWithin(mosquitto* mosq, const BrokerSettings& broker, bool again, int keepalive, int seconds);
// SIGINT and SIGTERM set the flag; a broken pipe is ignored.
volatile std::sig_atomic_t* InstallStopSignals();
