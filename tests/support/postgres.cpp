#include "tests/support/postgres.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "tests/support/broker.h"
#include "tests/support/sim_meter.h"

namespace {

std::string command_output(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void run(const std::string& command) {
    const int status = std::system(command.c_str());
    ASSERT_EQ(status, 0) << command;
}

}  // namespace

Postgres::Postgres() : dir_(temp_path("postgres")), port_(free_port()) {
    mkdir(dir_.c_str(), 0755);
    const std::string bin = command_output("pg_config --bindir");
    // PostgreSQL refuses to run as root: the folder is the postgres user's then.
    if (getuid() == 0) {
        const passwd* owner = getpwnam("postgres");
        if (owner == nullptr || chown(dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
            ADD_FAILURE() << "cannot hand " << dir_ << " to the user postgres, who must run the server";
        }
        as_owner_ = "runuser -u postgres -- ";
    }
    std::ofstream(dir_ + "/password") << "secret\n";
    if (getuid() == 0) run("chown postgres " + dir_ + "/password");
    run(as_owner_ + bin + "/initdb -D " + dir_ + "/data -U qmx --auth-local=trust --auth-host=scram-sha-256 --pwfile=" +
        dir_ + "/password > " + dir_ + "/initdb.log 2>&1");
    // The password as a box keeps it: a file of the client's own, readable by it alone.
    const std::string passfile = dir_ + "/client.pgpass";
    std::ofstream(passfile) << "127.0.0.1:" << port_ << ":*:qmx:secret\n";
    chmod(passfile.c_str(), 0600);
    uri_ = "postgresql://qmx@127.0.0.1:" + std::to_string(port_) + "/postgres?passfile=" + passfile;
    Start();
}

Postgres::~Postgres() {
    Stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

void Postgres::Start() {
    const std::string bin = command_output("pg_config --bindir");
    // fsync off: the tests crash hosts, not the database, and a test's disk is slow enough.
    run(as_owner_ + bin + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 120 -o \"-p " +
        std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=127.0.0.1 -c fsync=off\" start > /dev/null");
}

void Postgres::Stop() {
    const std::string bin = command_output("pg_config --bindir");
    std::system((as_owner_ + bin + "/pg_ctl -D " + dir_ + "/data -m fast -w -t 120 stop > /dev/null 2>&1").c_str());
}

Postgres::Rows Postgres::Query(const std::string& sql, const std::vector<std::string>& params) const {
    Session session(*this);
    auto* connection = static_cast<PGconn*>(session.connection);
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(
        PQexecParams(connection, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0),
        PQclear);
    Rows rows;
    const ExecStatusType status = PQresultStatus(result.get());
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(connection);
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        std::vector<std::optional<std::string>> row;
        for (int c = 0; c < PQnfields(result.get()); ++c) {
            row.push_back(PQgetisnull(result.get(), r, c) != 0 ? std::nullopt
                                                               : std::optional<std::string>(PQgetvalue(result.get(), r, c)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

Postgres::Session::Session(const Postgres& server) : connection(PQconnectdb(server.uri().c_str())) {
    EXPECT_EQ(PQstatus(static_cast<PGconn*>(connection)), CONNECTION_OK) << PQerrorMessage(static_cast<PGconn*>(connection));
}

Postgres::Session::~Session() { PQfinish(static_cast<PGconn*>(connection)); }

void Postgres::Session::Run(const std::string& sql) {
    auto* c = static_cast<PGconn*>(connection);
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(c, sql.c_str()), PQclear);
    EXPECT_EQ(PQresultStatus(result.get()), PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(c);
}
