#include "options.h"

#include "exitcodes.h"
#include "lookupport.h"
#include "replyindex.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <unistd.h>

namespace velmario::server {
namespace {

constexpr const char* kVersion = "velmario-server " VELMARIO_RELEASE " (" VELMARIO_PRODUCT_NAME ")";

constexpr const char* kUsage = R"(Usage:
  velmario-server [OPTIONS]                  serve lookups
  velmario-server import FILE.csv --db FILE.db [--allow-empty]
                                             replace the database with a CSV directory
  velmario-server export --db FILE.db        write the database as CSV to standard output
  velmario-server reload --pid PID --status-file FILE [--timeout SECONDS]
                                             reload a running server's directory and wait
                                             until it is served (0) or refused (3)
)";

constexpr const char* kFooter = R"(The CSV is UTF-8 with the header control_number,name,telephone.
Requests are each read of bytes, or each line once a connection sends a line end.
SIGHUP reopens the database without dropping connections; SIGUSR1 logs what the
server has done; SIGTERM or SIGINT stop.
Exit codes: 0 success, 1 bad usage, 2 cannot start or no reload outcome,
3 directory rejected (a CSV's rows, the entries served at start, a reload).)";

constexpr std::size_t kNameWidth = 26; // two spaces of indent included
constexpr std::size_t kLineWidth = 80;

// --help from the table: the usage lines above, then one entry per option
// with its default, wrapped to the terminal's usual width.
class Help : public CLI::Formatter
{
public:
    Help() { column_width(kNameWidth); }

    std::string make_usage(const CLI::App*, std::string) const override { return kUsage; }
    std::string make_subcommands(const CLI::App*, CLI::AppFormatMode) const override { return {}; }
    std::string make_option_opts(const CLI::Option* option) const override
    {
        return option->get_type_size() == 0 ? std::string() : " " + option->get_type_name();
    }
    std::string make_option_desc(const CLI::Option* option) const override
    {
        std::string text = option->get_description();
        if (!option->get_default_str().empty())
            text += " (default " + option->get_default_str() + ")";
        return wrap(text);
    }

private:
    static std::string wrap(const std::string& text)
    {
        // CLI11 indents every line after a line break to the name column.
        const std::size_t width = kLineWidth - kNameWidth;
        std::string out;
        std::size_t lineStart = 0;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find(' ', pos);
            if (end == std::string::npos)
                end = text.size();
            if (end - lineStart > width && pos > lineStart) {
                out.back() = '\n';
                lineStart = pos;
            }
            out.append(text, pos, end - pos);
            if (end < text.size())
                out += ' ';
            pos = end + 1;
        }
        return out;
    }
};

// A whole number from `least` to `most`, said plainly when it is not one.
CLI::Validator wholeNumber(std::uint64_t least, std::uint64_t most = std::numeric_limits<std::uint64_t>::max())
{
    std::string wanted = "needs a whole number " + (most == std::numeric_limits<std::uint64_t>::max()
                                                         ? "of at least " + std::to_string(least)
                                                         : "from " + std::to_string(least) + " to " + std::to_string(most));
    return CLI::Validator(
        [least, most, wanted](const std::string& text) {
            std::uint64_t value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            const bool ok = ec == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
            return ok ? std::string() : wanted;
        },
        "");
}

// "127.0.0.1:11007": an IPv4 address and a port (the exposer's web server,
// as Debian builds it, listens on IPv4 only).
CLI::Validator addressAndPort()
{
    return CLI::Validator(
        [](const std::string& text) {
            std::string wanted = "'" + text + "' is not IPV4-ADDRESS:PORT, such as 127.0.0.1:11007";
            const std::size_t colon = text.find(':');
            if (colon == std::string::npos)
                return wanted;
            const std::string host = text.substr(0, colon);
            const std::string port = text.substr(colon + 1);
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
            if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
                return wanted;
            in_addr address{};
            return inet_pton(AF_INET, host.c_str(), &address) == 1 ? std::string() : wanted;
        },
        "");
}

struct Numbers {
    unsigned idleSeconds = 0;
    unsigned sendSeconds = 0;
    unsigned refreshSeconds = 0;
    unsigned startupSeconds = 0;
    unsigned loadSeconds = 0;
    unsigned ldapSeconds = 0;
    unsigned ldapCheckSeconds = 0;
    unsigned rateLimit = 0;
    unsigned rateBurst = 0;
    unsigned statsSeconds = 0;
    std::vector<std::string> allow;
};

// The LDAP part of the table.
void addLdapOptions(CLI::App& app, Settings& s, Numbers& n)
{
    CLI::Option* ldap =
        app.add_option("--ldap", s.ldap.uri,
                       "serve the entries of an organisation's LDAP directory or Active Directory instead of a "
                       "file: ldap://HOST, ldaps://HOST or ldapi://SOCKET")
            ->type_name("URI")->check(CLI::Validator(
                [](const std::string& text) { return ldapUriProblem(text); }, ""));
    ldap->excludes(app.get_option("--db"))->excludes(app.get_option("--postgres"));
    app.get_option("--db")->excludes(ldap);
    app.get_option("--postgres")->excludes(ldap);
    const auto ldapOption = [&](const char* name, std::string& into, const char* help, const char* type) {
        return app.add_option(name, into, help)->type_name(type)->needs(ldap);
    };
    ldapOption("--ldap-base", s.ldap.base, "the DN the entries are searched for under, e.g. ou=people,dc=example,dc=org",
               "DN");
    ldapOption("--ldap-filter", s.ldap.filter, "the entries that are the directory", "FILTER")
        ->default_val("(&(objectClass=inetOrgPerson)(employeeNumber=*))");
    ldapOption("--ldap-number-attribute", s.ldap.numberAttribute,
               "the attribute that holds the control number (Active Directory: employeeID)", "NAME")
        ->default_val("employeeNumber");
    ldapOption("--ldap-name-attribute", s.ldap.nameAttribute, "the attribute that holds the name (Active Directory: "
               "displayName)", "NAME")->default_val("cn");
    ldapOption("--ldap-telephone-attribute", s.ldap.telephoneAttribute, "the attribute that holds the telephone",
               "NAME")->default_val("telephoneNumber");
    CLI::Option* bindDn = ldapOption("--ldap-bind-dn", s.ldap.bindDn,
                                     "bind as this DN, with the password in --ldap-password-file (default: SASL "
                                     "EXTERNAL over ldapi://, anonymous otherwise)", "DN");
    CLI::Option* password = ldapOption("--ldap-password-file", s.ldap.passwordFile,
                                       "the file that holds the bind DN's password, read at each connection", "FILE");
    bindDn->needs(password);
    password->needs(bindDn);
    ldapOption("--ldap-ca-file", s.ldap.caFile,
               "the certificate authorities that sign the directory's certificate (default: the system's)", "FILE")
        ->check(CLI::ExistingFile)->type_name("FILE");
    app.add_flag("--ldap-starttls", s.ldap.startTls, "encrypt an ldap:// connection with StartTLS")->needs(ldap);
    app.add_option("--ldap-page-size", s.ldap.pageSize, "entries the directory sends in each page of its answer (RFC 2696)")
        ->type_name("N")->check(wholeNumber(1, 100'000))->default_val(500)->needs(ldap);
    app.add_option("--ldap-check-interval", n.ldapCheckSeconds,
                   "read the directory's contextCSN this often and load the directory again when it changed "
                   "(0: never)")
        ->type_name("SECONDS")->check(wholeNumber(0, 3600))->default_val(1)->needs(ldap);
    app.add_option("--ldap-timeout", n.ldapSeconds,
                   "give up a load from LDAP, connecting and binding included, that takes longer than this; the "
                   "last good directory keeps serving")
        ->type_name("SECONDS")->check(wholeNumber(1, 10'000'000))->default_val(120)->needs(ldap);
}

// Whether LDAP settings that belong together were given together.
std::string ldapProblem(const LdapSettings& ldap)
{
    if (ldap.uri.empty())
        return {};
    if (ldap.base.empty())
        return "--ldap needs --ldap-base";
    const bool plain = ldap.uri.rfind("ldap://", 0) == 0 || ldap.uri.rfind("LDAP://", 0) == 0;
    if (ldap.startTls && !plain)
        return "--ldap-starttls applies to ldap:// only (ldaps:// is encrypted already, ldapi:// is local)";
    return {};
}

// The table of options: name, where it goes, help, default.
void addServeOptions(CLI::App& app, Settings& s, Numbers& n)
{
    const CLI::Validator positive = wholeNumber(1);
    app.add_option("--listen", s.serve.listen, "address to listen on (default: every IPv4 and IPv6 address)")
        ->type_name("ADDR");
    app.add_option("--port", s.serve.port, "TCP port")
        ->type_name("N")->check(wholeNumber(0, 65535))->default_val(lookup::kLookupPort);
    app.add_option("--db", s.db, "directory database (default: the built-in sample directory)")->type_name("FILE");
    app.add_option("--default-db", s.defaultDb,
                   "serve this database once it exists, unless --db or --postgres is given; until then the "
                   "sample directory, and a reload picks it up")
        ->type_name("FILE");
    app.add_option("--max-connections", s.serve.maxConnections,
                   "connections served at once; fewer if the file descriptors allow fewer")
        ->type_name("N")->check(positive)->default_val(1024);
    app.add_option("--max-connections-per-address", s.serve.maxConnectionsPerAddress,
                   "connections one address may open once the server is busy; more only in place of "
                   "idle ones of an address holding more (0: no limit)")
        ->type_name("N")->check(wholeNumber(0))->default_val(16);
    app.add_option("--busy-percent", s.serve.busyPercent,
                   "the server is busy from this share of --max-connections open")
        ->type_name("N")->check(wholeNumber(0, 100))->default_val(50);
    app.add_option("--ipv6-prefix-length", s.serve.ipv6PrefixLength,
                   "IPv6 addresses that share this many leading bits count as one address for the "
                   "per-address limits")
        ->type_name("BITS")->check(wholeNumber(1, 128))->default_val(64);
    app.add_option("--reserved-descriptors", s.serve.reservedDescriptors,
                   "file descriptors kept back from connections, for the database and refusals")
        ->type_name("N")->check(wholeNumber(0, 1'000'000))->default_val(32);
    app.add_option("--allow", n.allow,
                   "serve only clients in this network, e.g. 10.0.0.0/8 or 2001:db8::/32; repeatable "
                   "(default: every address)")
        ->type_name("CIDR")->check(CLI::Validator(
            [](const std::string& text) {
                return Cidr::parse(text) ? std::string() : "'" + text + "' is not an address or network";
            },
            ""));
    app.add_option("--rate-limit", n.rateLimit, "lookups per second one address may make (0: no limit)")
        ->type_name("N")->check(wholeNumber(0, 1'000'000))->default_val(5);
    app.add_option("--rate-burst", n.rateBurst, "lookups one address may make at once before the rate applies")
        ->type_name("N")->check(wholeNumber(1, 1'000'000))->default_val(120);
    app.add_option("--max-request-bytes", s.serve.maxRequestBytes,
                   "longest request looked up, without its surrounding white space")
        ->type_name("N")->check(wholeNumber(1, 65536))->default_val(256);
    app.add_option("--idle-timeout", n.idleSeconds, "close a connection this long after its last answer")
        ->type_name("SECONDS")->check(positive)->default_val(300);
    app.add_option("--max-pending-bytes", s.serve.maxPendingBytes,
                   "unsent replies past which a client's requests wait unread until it reads")
        ->type_name("N")->check(positive)->default_val(65536);
    app.add_option("--send-timeout", n.sendSeconds, "drop a client that takes none of its replies for this long")
        ->type_name("SECONDS")->check(wholeNumber(1, 10'000'000))->default_val(30);
    app.add_option("--max-memory-entries", s.maxMemoryEntries,
                   "hold the replies of up to N entries in memory, some 60 bytes each for names of "
                   "30 characters: about 1.2 GiB at the default, as a reload never holds two "
                   "directories; a larger directory is looked up on disk (0: always)")
        ->type_name("N")->check(wholeNumber(0))->default_val(20'000'000);
    CLI::Option* postgres =
        app.add_option("--postgres", s.postgres.conninfo,
                       "serve the rows of an organisation's PostgreSQL database instead of a file: a libpq "
                       "connection string or URI (keep passwords in PGPASSFILE or the environment)")
            ->type_name("CONNINFO");
    app.get_option("--db")->excludes(postgres);
    app.add_option("--postgres-query", s.postgres.query,
                   "the query whose rows are the directory: control number, name, telephone")
        ->type_name("SQL")->default_val("SELECT control_number, name, telephone FROM velmario_directory");
    app.add_option("--postgres-channel", s.postgres.channel, "a NOTIFY on this channel loads the directory again")
        ->type_name("NAME")->default_val("velmario_directory");
    addLdapOptions(app, s, n);
    app.add_option("--refresh", n.refreshSeconds,
                   "load the directory from PostgreSQL or LDAP again this often (0: never)")
        ->type_name("SECONDS")->check(wholeNumber(0, 10'000'000))->default_val(300);
    app.add_option("--startup-timeout", n.startupSeconds,
                   "wait this long for PostgreSQL or LDAP at start, connecting and loading included, before "
                   "giving up")
        ->type_name("SECONDS")->check(wholeNumber(0, 10'000'000))->default_val(60);
    app.add_option("--postgres-timeout", n.loadSeconds,
                   "give up a load from PostgreSQL, connecting included, that takes longer than this; the last "
                   "good directory keeps serving")
        ->type_name("SECONDS")->check(wholeNumber(1, 10'000'000))->default_val(120);
    app.add_flag("--allow-empty", s.postgres.allowEmpty,
                 "serve a PostgreSQL query or LDAP search that finds nothing (refused otherwise, at start and "
                 "on reload)");
    app.add_option("--status-file", s.statusFile,
                   "write the outcome of each reload to FILE, for 'velmario-server reload'")
        ->type_name("FILE");
    app.add_option("--metrics", s.metrics,
                   "serve Prometheus metrics at http://ADDRESS:PORT/metrics, an IPv4 address (default: none)")
        ->type_name("ADDRESS:PORT")->check(addressAndPort());
    app.add_option("--stats-interval", n.statsSeconds,
                   "log what the server has done every SECONDS, as on SIGUSR1 (0: only on SIGUSR1)")
        ->type_name("SECONDS")->check(wholeNumber(0, 10'000'000))->default_val(3600);
}

bool servingOptionGiven(const CLI::App& app)
{
    for (const CLI::Option* option : app.get_options()) {
        if (option->count() > 0)
            return true;
    }
    return false;
}

CommandLine exitWith(int code, std::string out, std::string err)
{
    CommandLine line;
    line.command = CommandLine::Command::Exit;
    line.exitCode = code;
    line.out = std::move(out);
    line.err = std::move(err);
    return line;
}

} // namespace

std::string reloadDatabase(const Settings& settings)
{
    if (!settings.postgres.conninfo.empty() || !settings.ldap.uri.empty())
        return {};
    return settings.db.empty() ? settings.defaultDb : settings.db;
}

std::string startDatabase(const Settings& settings)
{
    if (settings.db.empty() && !settings.defaultDb.empty() && ::access(settings.defaultDb.c_str(), F_OK) != 0)
        return {};
    return reloadDatabase(settings);
}

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine line;
    Numbers numbers;
    CLI::App app("Answers telephone directory lookups on TCP port " + std::to_string(lookup::kLookupPort) + ".",
                 "velmario-server");
    app.formatter(std::make_shared<Help>());
    app.set_help_flag("--help", "print this help and exit");
    bool version = false;
    app.add_flag("--version", version, "print the version and exit");
    app.footer(kFooter);
    addServeOptions(app, line.settings, numbers);

    CLI::App* import = app.add_subcommand("import", "replace the database with a CSV directory");
    import->add_option("FILE.csv", line.csv,
                       "the CSV directory to read: a file, a named pipe, or - for standard input")->required();
    import->add_option("--db", line.settings.db, "the database to replace")->type_name("FILE.db")->required();
    import->add_flag("--allow-empty", line.allowEmpty, "replace the database even with a CSV of no entries");
    CLI::App* exporter = app.add_subcommand("export", "write the database as CSV to standard output");
    exporter->add_option("--db", line.settings.db, "the database to read")->type_name("FILE.db")->required();
    CLI::App* checker = app.add_subcommand(
        "check", "check every entry of a database and keep its checked copy beside it, as import does");
    checker->add_option("--db", line.settings.db, "the database to check")->type_name("FILE.db")->required();
    CLI::App* reloader = app.add_subcommand("reload", "reload a running server and wait for the outcome");
    reloader->add_option("--pid", line.pid, "the server's process")->type_name("PID")->required()
        ->check(wholeNumber(1, std::numeric_limits<int>::max()));
    reloader->add_option("--status-file", line.settings.statusFile, "the server's --status-file")
        ->type_name("FILE")->required();
    unsigned reloadSeconds = 0;
    reloader->add_option("--timeout", reloadSeconds, "wait this long for the outcome")
        ->type_name("SECONDS")->check(wholeNumber(1, 86400))->default_val(60);
    app.require_subcommand(0, 1);

    // CLI11 wants the arguments last to first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return exitWith(kExitOk, app.help(), {});
    } catch (const CLI::ParseError& e) {
        return exitWith(kExitUsage, {}, std::string("velmario-server: ") + e.what() +
                                            "\nTry 'velmario-server --help'.\n");
    }
    if (version)
        return exitWith(kExitOk, std::string(kVersion) + "\n", {});

    if (import->parsed() || exporter->parsed() || checker->parsed() || reloader->parsed()) {
        if (servingOptionGiven(app))
            return exitWith(kExitUsage, {},
                            "velmario-server: serving options do not apply to import, export or reload\n"
                            "Try 'velmario-server --help'.\n");
        line.command = import->parsed()     ? CommandLine::Command::Import
                       : exporter->parsed() ? CommandLine::Command::Export
                       : checker->parsed()  ? CommandLine::Command::Check
                                            : CommandLine::Command::Reload;
        line.reloadTimeout = std::chrono::seconds(reloadSeconds);
        return line;
    }
    line.settings.serve.idleTimeout = std::chrono::seconds(numbers.idleSeconds);
    line.settings.serve.sendTimeout = std::chrono::seconds(numbers.sendSeconds);
    line.settings.serve.rateLimit = numbers.rateLimit;
    line.settings.serve.rateBurst = numbers.rateBurst;
    line.settings.serve.statsInterval = std::chrono::seconds(numbers.statsSeconds);
    line.settings.timing.refresh = std::chrono::seconds(numbers.refreshSeconds);
    line.settings.timing.startupTimeout = std::chrono::seconds(numbers.startupSeconds);
    line.settings.timing.loadTimeout = std::chrono::seconds(numbers.loadSeconds);
    line.settings.postgres.timeout = line.settings.timing.loadTimeout;
    if (const std::string problem = ldapProblem(line.settings.ldap); !problem.empty())
        return exitWith(kExitUsage, {}, "velmario-server: " + problem + "\nTry 'velmario-server --help'.\n");
    if (!line.settings.ldap.uri.empty())
        line.settings.timing.loadTimeout = std::chrono::seconds(numbers.ldapSeconds);
    line.settings.ldap.timeout = std::chrono::seconds(numbers.ldapSeconds);
    line.settings.ldap.checkInterval = std::chrono::seconds(numbers.ldapCheckSeconds);
    line.settings.ldap.allowEmpty = line.settings.postgres.allowEmpty;
    // A source's directory is held in memory: no more than it may hold.
    const std::size_t held = line.settings.maxMemoryEntries > 0 ? line.settings.maxMemoryEntries : ReplyIndex::kMaxEntries;
    line.settings.ldap.maxEntries = std::min(held, ReplyIndex::kMaxEntries);
    line.settings.postgres.maxEntries = line.settings.ldap.maxEntries;
    for (const std::string& network : numbers.allow)
        line.settings.serve.allow.push_back(*Cidr::parse(network));
    line.command = CommandLine::Command::Serve;
    return line;
}

} // namespace velmario::server
