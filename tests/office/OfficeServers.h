#pragma once
// A private broker and database for the office tests: mosquitto and a
// PostgreSQL cluster of their own, on free loopback ports, in a temporary
// folder, stopped at the end. PostgreSQL refuses to run as root, so as root
// the cluster runs as "nobody". When a server cannot be started the tests
// fail and say why (scripts/lib/setup.sh installs both).
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace officetest {

inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return open;
}

inline bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts `args` with stdout and stderr to `log`; the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

inline int Wait(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int Run(const std::vector<std::string>& args, const std::string& log) {
    const pid_t pid = Spawn(args, log);
    return pid < 0 ? -1 : Wait(pid);
}

class Servers {
public:
    // With `durable`, PostgreSQL syncs as in production (the tests run it
    // without fsync).
    explicit Servers(bool durable = false) : durable_(durable) {}

    // Empty when both run; else what went wrong.
    std::string Start() {
        char pattern[] = "/tmp/kestova-office-XXXXXX";
        if (!::mkdtemp(pattern)) return "cannot make a temporary folder";
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0755);
        std::string why = StartDatabase();
        if (why.empty()) why = StartBroker();
        return why;
    }

    void Stop() {
        for (pid_t* pid : {&brokerPid_, &tlsBrokerPid_})
            if (*pid > 0) {
                ::kill(*pid, SIGTERM);
                Wait(*pid);
                *pid = -1;
            }
        if (!pgBin_.empty() && pgStarted_) {
            Run(AsDbUser({pgBin_ + "/pg_ctl", "-D", dir_ + "/pg/data", "-m", "immediate", "-w", "stop"}),
                dir_ + "/pg-stop.log");
            pgStarted_ = false;
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
            dir_.clear();
        }
    }

    ~Servers() { Stop(); }

    int brokerPort() const { return brokerPort_; }
    int tlsBrokerPort() const { return tlsBrokerPort_; }
    // The test certificates (scripts/office-certs): ca, broker, kestova-office, east, west.
    std::string Certs() const { return dir_ + "/certs/"; }

    // A second broker as the office's should run: TLS, a client certificate
    // required, its common name the user name, the ACL of
    // packaging/kestova-broker.acl. Started by the first test that needs it
    // (the certificates take a few tenths of a second). Empty when it runs.
    std::string StartTlsBroker() {
        if (tlsBrokerPid_ > 0) return "";
        const std::string log = dir_ + "/certs.log";
        if (Run({KESTOVA_SOURCE_DIR "/scripts/office-certs", Certs(), "east", "west"}, log) != 0)
            return "scripts/office-certs failed: " + ReadText(log);
        tlsBrokerPort_ = FreePort();
        const std::string certs = Certs();
        std::ostringstream conf;
        conf << "listener " << tlsBrokerPort_ << " 127.0.0.1\n"
             << "cafile " << certs << "ca.crt\ncertfile " << certs << "broker.crt\nkeyfile " << certs << "broker.key\n"
             << "require_certificate true\nuse_identity_as_username true\n"
             << "acl_file " << KESTOVA_SOURCE_DIR "/packaging/kestova-broker.acl\n";
        ::mkdir((dir_ + "/tls-broker").c_str(), 0755);
        return StartMosquitto(conf.str(), dir_ + "/tls-broker/", tlsBrokerPort_, &tlsBrokerPid_);
    }
    const std::string& dir() const { return dir_; }

    // A new, empty database; its libpq connection string.
    std::string NewDatabase() {
        const std::string name = "t" + std::to_string(++databases_);
        PGconn* c = PQconnectdb(Conninfo("postgres").c_str());
        PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        PQfinish(c);
        return ok ? Conninfo(name) : "";
    }

    std::string Conninfo(const std::string& db) const {
        return "host=127.0.0.1 port=" + std::to_string(pgPort_) + " user=kestova dbname=" + db;
    }

private:
    std::vector<std::string> AsDbUser(std::vector<std::string> args) const {
        if (::geteuid() == 0) args.insert(args.begin(), {"runuser", "-u", "nobody", "--"});
        return args;
    }

    std::string StartDatabase() {
        glob_t g{};
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
            pgBin_ = std::filesystem::path(g.gl_pathv[g.gl_pathc - 1]).parent_path().string();
        ::globfree(&g);
        if (pgBin_.empty())
            return "PostgreSQL server programs not found (/usr/lib/postgresql/*/bin/initdb): "
                   "install postgresql (scripts/lib/setup.sh)";
        const std::string pg = dir_ + "/pg";
        ::mkdir(pg.c_str(), 0700);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody) return "no user \"nobody\" to run PostgreSQL as";
            if (::chown(pg.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) return "cannot chown " + pg;
        }
        const std::string log = dir_ + "/pg-setup.log";
        if (Run(AsDbUser({pgBin_ + "/initdb", "-D", pg + "/data", "-U", "kestova", "-A", "trust",
                          "--no-sync", "-E", "UTF8", "--locale=C"}), log) != 0)
            return "initdb failed: " + ReadText(log);
        pgPort_ = FreePort();
        const std::string options = "-p " + std::to_string(pgPort_) + " -k " + pg +
                                    " -c listen_addresses=127.0.0.1" +
                                    (durable_ ? "" : " -c fsync=off -c full_page_writes=off");
        if (Run(AsDbUser({pgBin_ + "/pg_ctl", "-D", pg + "/data", "-l", pg + "/server.log", "-o",
                          options, "-w", "-t", "30", "start"}), log) != 0)
            return "PostgreSQL did not start: " + ReadText(log) + ReadText(pg + "/server.log");
        pgStarted_ = true;
        return "";
    }

    std::string StartBroker() {
        brokerPort_ = FreePort();
        return StartMosquitto("listener " + std::to_string(brokerPort_) + " 127.0.0.1\nallow_anonymous true\n",
                              dir_ + "/", brokerPort_, &brokerPid_);
    }

    std::string StartMosquitto(const std::string& listener, const std::string& dir, int port, pid_t* pid) {
        const std::string conf = dir + "mosquitto.conf";
        const passwd* me = ::getpwuid(::geteuid());
        // As docs/office.md asks: the office's queue at the broker holds a backlog.
        std::ofstream(conf) << listener << "persistence true\npersistence_location " << dir << "\n"
                            << "max_queued_messages 1000000\nmax_inflight_messages 1000\n"
                            << "user " << (me ? me->pw_name : "root") << "\n";
        *pid = Spawn({"mosquitto", "-c", conf}, dir + "mosquitto.log");
        if (*pid < 0) return "mosquitto not found: install mosquitto (scripts/lib/setup.sh)";
        if (!WaitFor([&] { return PortOpen(port); }, 10)) return "mosquitto did not listen: " + ReadText(dir + "mosquitto.log");
        return "";
    }

    bool durable_ = false;
    std::string dir_;
    std::string pgBin_;
    bool pgStarted_ = false;
    int pgPort_ = 0;
    int brokerPort_ = 0, tlsBrokerPort_ = 0;
    pid_t brokerPid_ = -1, tlsBrokerPid_ = -1;
    int databases_ = 0;
};

}  // namespace officetest
