#pragma once
// The command line: what to do, and with which settings. Every option, its
// default and its help text stand in one table (options.cpp), which also
// writes --help.

#include "ldapconnection.h"
#include "lookupserver.h"
#include "pgconnection.h"
#include "sourcethread.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace velmario::server {

struct Settings {
    ServerOptions serve;
    std::string db;                     // empty: the built-in sample directory
    std::string defaultDb;              // served when it exists and no other source is given
    std::size_t maxMemoryEntries = 0;   // 0: always look up in the database file
    PostgresSettings postgres;          // conninfo empty: not from PostgreSQL
    LdapSettings ldap;                  // uri empty: not from LDAP
    SourceTiming timing;                // when and how long loads run
    std::string statusFile;             // where each reload's outcome is written; empty: nowhere
    std::string metrics;                // ADDRESS:PORT of the Prometheus endpoint; empty: none
};

// The database a reload opens: --db, otherwise --default-db unless the
// directory comes from PostgreSQL; empty: nothing to reload (the sample).
std::string reloadDatabase(const Settings& settings);
// The database opened at start: as for a reload, but the sample (empty)
// while --default-db does not exist yet.
std::string startDatabase(const Settings& settings);

struct CommandLine {
    enum class Command { Serve, Import, Export, Check, Reload, Exit };
    Command command = Command::Exit;
    Settings settings;
    std::string csv;      // the file to import
    bool allowEmpty = false; // import a CSV with no entries
    long pid = 0;            // the server a reload signals
    std::chrono::seconds reloadTimeout{}; // how long a reload waits for its outcome
    // With Command::Exit: what to print and the code to exit with (--help,
    // --version, or a bad command line).
    int exitCode = 0;
    std::string out;
    std::string err;
};

CommandLine parseCommandLine(const std::vector<std::string>& args);

} // namespace velmario::server
