#pragma once
// The office's web page over HTTPS (docs/office.md, "The web page"): the
// collection points, the sites along the line, the alarms (acknowledged by
// an operator with the acknowledger role), the trains and one train's axles,
// with live updates by Server-Sent Events. It runs on threads of its own
// with database connections of its own; the MQTT ingest never waits for it.
#include <chrono>
#include <memory>
#include <string>

struct WebSettings {
    std::string address = "127.0.0.1";
    int port = 0;                 // 0: any free port (tests)
    std::string certFile, keyFile;
    std::string conninfo;         // libpq
    std::string chartJs = "/usr/share/javascript/chart.js/chart.min.js";
    std::chrono::seconds idle{30 * 60};          // a session unused this long ends
    std::chrono::seconds absolute{12 * 60 * 60}; // and any session after this
    std::size_t maxBody = 64 * 1024;             // larger requests: 413
    int loginFailures = 5;                       // per name within loginWindow, then 429
    std::chrono::seconds loginWindow{5 * 60};
    std::chrono::milliseconds poll{1000};        // how often the database is looked at for news
};

// "ADDRESS:PORT" ("[v6]:PORT" too); false when it is not one.
bool ParseWebAddress(const std::string& text, std::string* address, int* port);

class WebServer {
public:
    explicit WebServer(WebSettings settings);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Loads the certificate, binds and starts serving; false with the reason.
    bool Start(std::string* why);
    void Stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
