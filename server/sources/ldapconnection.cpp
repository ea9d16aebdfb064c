#include "ldapconnection.h"

#include "log.h"
#include "pgconnection.h" // oneLine
#include "smallfile.h"

#include <ldap.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <string.h> // explicit_bzero
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace velmario::server {
namespace {

timeval left(Clock::time_point deadline)
{
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const long long bounded = std::max<long long>(ms, 1);
    return {static_cast<time_t>(bounded / 1000), static_cast<suseconds_t>(bounded % 1000 * 1000)};
}

// libldap's TLS handshake (ldaps, and StartTLS's ldap_install_tls) has no
// deadline of its own: against a peer that takes the connection and then
// says nothing, GnuTLS retries its read for ever. A guard watches the
// handshake from a thread of its own and, at the deadline, shuts the socket
// down under it, so that the handshake fails and the load is tried again.
class HandshakeGuard
{
public:
    HandshakeGuard(const std::atomic<int>& fd, Clock::time_point deadline)
        : m_thread([this, &fd, deadline] {
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_until(lock, deadline, [this] { return m_done; }))
                return;
            if (const int socket = fd.load(); socket >= 0) {
                ::shutdown(socket, SHUT_RDWR);
                m_timedOut = true;
            }
        })
    {
    }
    ~HandshakeGuard()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    HandshakeGuard(const HandshakeGuard&) = delete;
    HandshakeGuard& operator=(const HandshakeGuard&) = delete;

    // Whether the deadline came first; once the handshake has returned.
    bool timedOut()
    {
        const std::lock_guard lock(m_mutex);
        return m_timedOut;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;     // guarded by m_mutex
    bool m_timedOut = false; // guarded by m_mutex
    std::thread m_thread;
};

// Called by libldap as soon as the TCP connection is made, before any TLS
// handshake on it: the socket the guard may have to shut down.
int onConnected(LDAP*, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb* callback)
{
    int fd = -1;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1)
        static_cast<std::atomic<int>*>(callback->lc_arg)->store(fd);
    return 0;
}

void onDisconnected(LDAP*, Sockbuf*, ldap_conncb* callback)
{
    static_cast<std::atomic<int>*>(callback->lc_arg)->store(-1);
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// The password, with the line end an editor leaves removed; false if the
// file cannot be read or holds none.
bool readPassword(const std::string& path, std::string& password, std::string& error)
{
    // A password is short: a FIFO, a device or a huge file is a mistake,
    // refused at once rather than waited on or read without end.
    constexpr std::size_t kMaxPasswordBytes = 4096;
    SmallFile file;
    if (!readSmallFile(path, kMaxPasswordBytes, file, error)) {
        error = "cannot read the password file " + path + ": " + error;
        return false;
    }
    if (file.readableByOthers)
        log("the password file " + path + " can be read by every user of this machine: chmod o-r it",
            LogPriority::Warning);
    password = std::move(file.text);
    if (!password.empty() && password.back() == '\n')
        password.pop_back();
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        // A simple bind with a DN and no password is an anonymous one.
        error = "the password file " + path + " is empty";
        return false;
    }
    return true;
}

void forget(std::string& secret)
{
    ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

} // namespace

std::string ldapUriProblem(std::string_view uri)
{
    if (!startsWith(uri, "ldap://") && !startsWith(uri, "ldaps://") && !startsWith(uri, "ldapi://"))
        return "'" + std::string(uri) + "' is not an ldap://, ldaps:// or ldapi:// URI";
    if (uri.find_first_of(" \t\n") != std::string_view::npos)
        return "'" + std::string(uri) + "' names more than one directory: give one URI";
    LDAPURLDesc* parsed = nullptr;
    const std::string text(uri);
    if (ldap_url_parse(text.c_str(), &parsed) != LDAP_URL_SUCCESS)
        return "'" + text + "' is not a valid LDAP URI";
    ldap_free_urldesc(parsed);
    return {};
}

bool ldapUnreachable(int code)
{
    switch (code) {
    case LDAP_SERVER_DOWN:
    case LDAP_TIMEOUT:
    case LDAP_CONNECT_ERROR:
    case LDAP_LOCAL_ERROR:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_OTHER: // slapd's answer while it shuts down
        return true;
    default:
        return false;
    }
}

bool ldapCertificateRefused(std::string_view diagnostic)
{
    // The library checks the peer's certificate and name itself and hands
    // its own code to the TLS library's message function, which knows no
    // text for it; a handshake cut by the network has the TLS library's own
    // words ("Error in the pull function.").
    return diagnostic == "(unknown error code)";
}

struct LdapConnection::ConnectWatch {
    ldap_conncb callback{};
    std::atomic<int> fd{-1}; // the connection's socket, once libldap has made it
};

LdapConnection::LdapConnection() = default;

LdapConnection::~LdapConnection()
{
    close();
}

void LdapConnection::close()
{
    if (m_ld)
        ldap_unbind_ext(m_ld, nullptr, nullptr); // the socket does not block: this never waits
    m_ld = nullptr;
}

std::string LdapConnection::lastError() const
{
    if (!m_ld)
        return "not connected";
    int code = LDAP_SUCCESS;
    ldap_get_option(m_ld, LDAP_OPT_RESULT_CODE, &code);
    char* diagnostic = nullptr;
    ldap_get_option(m_ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
    std::string text = ldap_err2string(code);
    if (diagnostic && *diagnostic)
        text += std::string(" (") + oneLine(diagnostic) + ")";
    ldap_memfree(diagnostic);
    return text;
}

LdapError LdapConnection::waitError(Wait wait, const std::string& what) const
{
    switch (wait) {
    case Wait::Stopped: return {what + ": stopping", true, true};
    case Wait::TimedOut: return {what + ": no answer in time", true};
    case Wait::Ok:
    case Wait::Failed: break;
    }
    return {what + ": " + lastError(), true};
}

bool LdapConnection::open(const LdapSettings& settings, Wake* wake, Clock::time_point deadline, LdapError& error)
{
    close();
    m_uri = settings.uri;
    if (const int rc = ldap_initialize(&m_ld, settings.uri.c_str()); rc != LDAP_SUCCESS) {
        error = {"cannot use " + settings.uri + ": " + ldap_err2string(rc), false};
        m_ld = nullptr;
        return false;
    }
    const int version = LDAP_VERSION3;
    const int hard = LDAP_OPT_X_TLS_HARD;
    const int newContext = 0;
    // A dead peer is noticed by TCP even while no load runs.
    const int idle = 30;
    const int interval = 10;
    const int probes = 3;
    const unsigned int userTimeout = 30000;
    const timeval network = left(deadline);
    bool set = ldap_set_option(m_ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_NETWORK_TIMEOUT, &network) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_TIMEOUT, &network) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_X_KEEPALIVE_IDLE, &idle) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_X_KEEPALIVE_INTERVAL, &interval) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_X_KEEPALIVE_PROBES, &probes) == LDAP_OPT_SUCCESS &&
               ldap_set_option(m_ld, LDAP_OPT_TCP_USER_TIMEOUT, &userTimeout) == LDAP_OPT_SUCCESS &&
               // Whatever ldap.conf or LDAPTLS_REQCERT say, the certificate is checked.
               ldap_set_option(m_ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &hard) == LDAP_OPT_SUCCESS;
    if (set && !settings.caFile.empty())
        set = ldap_set_option(m_ld, LDAP_OPT_X_TLS_CACERTFILE, settings.caFile.c_str()) == LDAP_OPT_SUCCESS;
    if (!m_watch)
        m_watch = std::make_unique<ConnectWatch>();
    m_watch->fd = -1;
    m_watch->callback = {onConnected, onDisconnected, &m_watch->fd};
    if (set)
        set = ldap_set_option(m_ld, LDAP_OPT_CONNECT_CB, &m_watch->callback) == LDAP_OPT_SUCCESS;
    if (set)
        set = ldap_set_option(m_ld, LDAP_OPT_X_TLS_NEWCTX, &newContext) == LDAP_OPT_SUCCESS;
    if (!set) {
        error = {"cannot set up the connection to " + settings.uri + ": " + lastError(), false};
        close();
        return false;
    }
    int connected = LDAP_SUCCESS;
    bool handshakeTimedOut = false;
    {
        HandshakeGuard guard(m_watch->fd, deadline);
        connected = ldap_connect(m_ld);
        handshakeTimedOut = guard.timedOut();
    }
    if (handshakeTimedOut) {
        error = {"the TLS handshake with " + settings.uri + " got no answer in time", true};
        close();
        return false;
    }
    if (const int rc = connected; rc != LDAP_SUCCESS) {
        char* diagnostic = nullptr;
        ldap_get_option(m_ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
        const bool refused = startsWith(settings.uri, "ldaps://") && diagnostic &&
                             ldapCertificateRefused(diagnostic);
        ldap_memfree(diagnostic);
        if (refused)
            error = {"the certificate of " + settings.uri + " is not trusted or does not name its host "
                     "(--ldap-ca-file names the authority that signed it)", false};
        else
            error = {"cannot connect to " + settings.uri + ": " + lastError(), true};
        close();
        return false;
    }
    if (settings.startTls && !startTls(wake, deadline, error)) {
        close();
        return false;
    }
    // From here on no read or write waits: each wait is a poll with a
    // deadline, and a peer that stops half way through an answer holds
    // nothing up.
    int fd = -1;
    if (ldap_get_option(m_ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = {"cannot set up the connection to " + settings.uri, true};
        close();
        return false;
    }
    if (!bind(settings, wake, deadline, error)) {
        close();
        return false;
    }
    return true;
}

bool LdapConnection::startTls(Wake* wake, Clock::time_point deadline, LdapError& error)
{
    int msgid = 0;
    if (ldap_start_tls(m_ld, nullptr, nullptr, &msgid) != LDAP_SUCCESS) {
        error = {"cannot ask " + m_uri + " for StartTLS: " + lastError(), true};
        return false;
    }
    LDAPMessage* answer = nullptr;
    if (const Wait wait = result(msgid, wake, WakeOn::Stop, deadline, answer); wait != Wait::Ok) {
        error = waitError(wait, "StartTLS with " + m_uri);
        return false;
    }
    std::string text;
    if (const int code = finalResult(answer, text); code != LDAP_SUCCESS) {
        error = {m_uri + " refuses StartTLS: " + text, ldapUnreachable(code)};
        return false;
    }
    int installed = LDAP_SUCCESS;
    bool handshakeTimedOut = false;
    {
        HandshakeGuard guard(m_watch->fd, deadline);
        installed = ldap_install_tls(m_ld);
        handshakeTimedOut = guard.timedOut();
    }
    if (handshakeTimedOut) {
        error = {"the TLS handshake with " + m_uri + " got no answer in time", true};
        return false;
    }
    if (installed != LDAP_SUCCESS) {
        char* diagnostic = nullptr;
        ldap_get_option(m_ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
        const bool refused = diagnostic && ldapCertificateRefused(diagnostic);
        ldap_memfree(diagnostic);
        if (refused)
            error = {"the certificate of " + m_uri + " is not trusted or does not name its host "
                     "(--ldap-ca-file names the authority that signed it)", false};
        else
            error = {"the TLS handshake with " + m_uri + " failed: " + lastError(), true};
        return false;
    }
    return true;
}

bool LdapConnection::bind(const LdapSettings& settings, Wake* wake, Clock::time_point deadline, LdapError& error)
{
    int msgid = 0;
    int rc = LDAP_SUCCESS;
    std::string who;
    if (!settings.bindDn.empty()) {
        std::string password;
        std::string why;
        if (!readPassword(settings.passwordFile, password, why)) {
            error = {why, false};
            return false;
        }
        berval credentials{static_cast<ber_len_t>(password.size()), password.data()};
        rc = ldap_sasl_bind(m_ld, settings.bindDn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &msgid);
        forget(password);
        who = "as " + settings.bindDn;
    } else if (startsWith(settings.uri, "ldapi://")) {
        // The directory knows this process by its user and group ids: the
        // initial response is an empty authorisation identity (present, so
        // that no second round is asked for).
        char empty[] = "";
        berval none{0, empty};
        rc = ldap_sasl_bind(m_ld, nullptr, "EXTERNAL", &none, nullptr, nullptr, &msgid);
        who = "by SASL EXTERNAL";
    } else {
        return true; // anonymous
    }
    if (rc != LDAP_SUCCESS) {
        error = {"cannot bind to " + m_uri + " " + who + ": " + lastError(), ldapUnreachable(rc)};
        return false;
    }
    LDAPMessage* answer = nullptr;
    if (const Wait wait = result(msgid, wake, WakeOn::Stop, deadline, answer); wait != Wait::Ok) {
        error = waitError(wait, "binding to " + m_uri + " " + who);
        return false;
    }
    std::string text;
    if (const int code = finalResult(answer, text); code != LDAP_SUCCESS) {
        std::string hint;
        if (code == LDAP_INVALID_CREDENTIALS)
            hint = " (check --ldap-bind-dn and the password in --ldap-password-file)";
        error = {m_uri + " refuses the bind " + who + ": " + text + hint, ldapUnreachable(code)};
        return false;
    }
    return true;
}

LdapConnection::Wait LdapConnection::result(int msgid, Wake* wake, WakeOn on, Clock::time_point deadline,
                                            LDAPMessage*& chain)
{
    chain = nullptr;
    for (;;) {
        // What the library has already read comes first: the socket then
        // shows nothing new. A call that reads a message may only queue it
        // and return none; the second call hands it over.
        int rc = 0;
        for (int pass = 0; pass < 2 && rc == 0; ++pass) {
            timeval zero{0, 0};
            rc = ldap_result(m_ld, msgid, LDAP_MSG_RECEIVED, &zero, &chain);
        }
        if (rc > 0)
            return Wait::Ok;
        if (rc < 0)
            return Wait::Failed;
        int fd = -1;
        if (ldap_get_option(m_ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0)
            return Wait::Failed;
        switch (waitReady(fd, POLLIN, wake, on, deadline)) {
        case Ready::Ready: break;
        case Ready::Woken: return Wait::Stopped;
        case Ready::TimedOut: return Wait::TimedOut;
        }
    }
}

int LdapConnection::finalResult(LDAPMessage* message, std::string& text)
{
    int code = LDAP_OTHER;
    char* diagnostic = nullptr;
    if (ldap_parse_result(m_ld, message, &code, nullptr, &diagnostic, nullptr, nullptr, 1) != LDAP_SUCCESS)
        code = LDAP_OTHER;
    text.clear();
    if (code != LDAP_SUCCESS) {
        text = ldap_err2string(code);
        if (diagnostic && *diagnostic)
            text += std::string(" (") + oneLine(diagnostic) + ")";
    }
    ldap_memfree(diagnostic);
    return code;
}

} // namespace velmario::server
