#pragma once
// One connection to an organisation's LDAP directory (OpenLDAP, Active
// Directory), through the OpenLDAP client library. Every operation is sent
// without waiting and its answer read as it comes, so that each wait has a
// deadline and ends at once when the server stops. Connecting and the TLS
// handshake are bounded by the same deadline (LDAP_OPT_NETWORK_TIMEOUT for
// the connect, a guard that shuts the socket down under a handshake that
// outlives it)
// but not by a stop: a stop leaves a load caught there to itself (see
// sourcethread.h).

#include "source.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct ldap;
struct ldapmsg;

namespace velmario::server {

struct LdapSettings {
    std::string uri;      // ldap://, ldaps:// or ldapi://
    std::string base;     // the entries are searched for under it
    std::string filter;
    std::string numberAttribute;
    std::string nameAttribute;
    std::string telephoneAttribute;
    std::string bindDn;       // empty: SASL EXTERNAL over ldapi://, otherwise anonymous
    std::string passwordFile; // the bind DN's password, read at each connection
    std::string caFile;       // the certificate authorities trusted (empty: the system's)
    bool startTls = false;
    std::size_t pageSize = 0;
    std::chrono::seconds timeout{};       // one load, connecting included
    std::chrono::seconds checkInterval{}; // how often contextCSN is read (0: never)
    bool allowEmpty = false;              // serve a search that finds nothing
    std::size_t maxEntries = SIZE_MAX;    // a search that sends more is given up
};

// Why a URI cannot name an LDAP directory here, or nothing.
std::string ldapUriProblem(std::string_view uri);

// Whether an LDAP result code says the directory could not be reached or
// did not answer in time, so that trying again later may do better (as
// opposed to a refusal that is the organisation's to mend).
bool ldapUnreachable(int code);

// Whether a failure to connect is a certificate that is not trusted (or
// names another host): a refusal, however often it is tried.
bool ldapCertificateRefused(std::string_view diagnostic);

struct LdapError {
    std::string text;
    bool unreachable = false;
    bool woken = false; // a wake-up ended the wait
};

class LdapConnection
{
public:
    LdapConnection();
    ~LdapConnection();
    LdapConnection(const LdapConnection&) = delete;
    LdapConnection& operator=(const LdapConnection&) = delete;

    // Connects (TLS as the URI or --ldap-starttls says, the certificate
    // always checked) and binds. False with the reason (never the
    // password) in `error`.
    bool open(const LdapSettings& settings, Wake* wake, Clock::time_point deadline, LdapError& error);
    void close();
    bool isOpen() const { return m_ld != nullptr; }
    ldap* get() const { return m_ld; }

    enum class Wait { Ok, Failed, Stopped, TimedOut };
    // The answers of operation `msgid` received so far, at least one
    // (freed by the caller with ldap_msgfree). `on` says which wake-ups end
    // the wait.
    Wait result(int msgid, Wake* wake, WakeOn on, Clock::time_point deadline, ldapmsg*& chain);
    // The code and text of a final result (a search's end, a bind), freeing
    // it. Empty text when it succeeded.
    int finalResult(ldapmsg* message, std::string& text);
    // The library's last error on this connection, on one line.
    std::string lastError() const;
    // An LdapError for a wait that did not end with answers.
    LdapError waitError(Wait wait, const std::string& what) const;

private:
    bool startTls(Wake* wake, Clock::time_point deadline, LdapError& error);
    bool bind(const LdapSettings& settings, Wake* wake, Clock::time_point deadline, LdapError& error);

    struct ConnectWatch; // bounds the TLS handshake on each socket libldap opens
    ldap* m_ld = nullptr;
    std::string m_uri;
    std::unique_ptr<ConnectWatch> m_watch;
};

} // namespace velmario::server
