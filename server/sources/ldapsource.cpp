#include "ldapsource.h"

#include "cp1252.h"
#include "csvimport.h"
#include "log.h"

#include <ldap.h>

#include <cstdint>
#include <cstring>
#include <strings.h>
#include <utility>

namespace velmario::server {
namespace {

// The server's own time limit for a search: what is left of the load, in
// whole seconds, so that it gives up by itself should this end never
// reach it.
timeval serverLimit(Clock::time_point deadline)
{
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
    return {static_cast<time_t>(std::max<long long>(seconds, 1)), 0};
}

bool sameType(const berval& type, const std::string& name)
{
    return type.bv_len == name.size() && ::strncasecmp(type.bv_val, name.data(), name.size()) == 0;
}

// The DN and the first value of each of the three attributes of an entry,
// read in one pass over its encoding, as views into it (valid while the
// message is). False if the entry cannot be decoded.
bool readEntry(LDAP* ld, LDAPMessage* entry, const std::string (&names)[3], std::string_view (&values)[3],
               std::string_view& dn)
{
    BerElement* ber = nullptr;
    berval name{0, nullptr};
    if (ldap_get_dn_ber(ld, entry, &ber, &name) != LDAP_SUCCESS)
        return false;
    dn = std::string_view(name.bv_val, name.bv_len);
    berval type{0, nullptr};
    berval* found = nullptr;
    int rc = LDAP_SUCCESS;
    while ((rc = ldap_get_attribute_ber(ld, entry, ber, &type, &found)) == LDAP_SUCCESS && type.bv_val) {
        for (int i = 0; i < 3; ++i) {
            if (found && found[0].bv_val && values[i].data() == nullptr && sameType(type, names[i]))
                values[i] = std::string_view(found[0].bv_val, found[0].bv_len);
        }
        ber_memfree(found);
        found = nullptr;
    }
    ber_free(ber, 0);
    return rc == LDAP_SUCCESS;
}

} // namespace

// The server's place in a paged search, freed with it.
struct PageCookie {
    berval value{0, nullptr};
    PageCookie() = default;
    ~PageCookie() { ber_memfree(value.bv_val); }
    PageCookie(const PageCookie&) = delete;
    PageCookie& operator=(const PageCookie&) = delete;
    void reset()
    {
        ber_memfree(value.bv_val);
        value = {0, nullptr};
    }
};

namespace {

struct SearchEnd {
    int code = LDAP_OTHER;
    std::string text;
    LDAPControl** controls = nullptr; // freed by the caller
    bool givenUp = false;
};

// Reads the answers to search `msgid`: each entry to `entry`, until its
// end or until `entry` says no more (the search is then abandoned, and
// `end.given` set). References to other servers are not followed.
template<typename OnEntry>
LdapConnection::Wait readSearch(LdapConnection& connection, int msgid, Wake* wake, WakeOn on,
                                Clock::time_point deadline, OnEntry&& entry, SearchEnd& end)
{
    LDAP* ld = connection.get();
    for (;;) {
        LDAPMessage* chain = nullptr;
        if (const auto wait = connection.result(msgid, wake, on, deadline, chain); wait != LdapConnection::Wait::Ok)
            return wait;
        bool done = false;
        for (LDAPMessage* m = ldap_first_message(ld, chain); m; m = ldap_next_message(ld, m)) {
            if (ldap_msgtype(m) == LDAP_RES_SEARCH_ENTRY) {
                if (!end.givenUp && !entry(m)) {
                    end.givenUp = true;
                    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
                    done = true;
                }
            } else if (ldap_msgtype(m) == LDAP_RES_SEARCH_RESULT && !end.givenUp) {
                char* diagnostic = nullptr;
                if (ldap_parse_result(ld, m, &end.code, nullptr, &diagnostic, nullptr, &end.controls, 0) !=
                    LDAP_SUCCESS)
                    end.code = LDAP_OTHER;
                end.text = ldap_err2string(end.code);
                if (diagnostic && *diagnostic)
                    end.text += std::string(" (") + diagnostic + ")";
                ldap_memfree(diagnostic);
                done = true;
            }
        }
        ldap_msgfree(chain);
        if (done)
            return LdapConnection::Wait::Ok;
    }
}

} // namespace

void LdapEntryChecker::take(const Entry& entry, const std::function<std::string()>& dn)
{
    ++m_taken;
    if (const std::string why = checkEntry(entry); !why.empty()) {
        if (m_bad < kNamed)
            problem(dn(), entry.controlNumber, why);
        ++m_bad;
        return;
    }
    if (m_bad > 0)
        return; // refused already: only the count goes on
    const std::string key = *cp1252::fromUtf8(entry.controlNumber);
    const std::string reply = *cp1252::fromUtf8(entry.name) + '*' + *cp1252::fromUtf8(entry.telephone);
    const std::string name = dn();
    for (const std::size_t length : {key.size(), reply.size(), name.size()}) {
        const auto narrow = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
        m_pending.append(reinterpret_cast<const char*>(&narrow), sizeof narrow);
    }
    m_pending.append(key).append(reply).append(name);
    ++m_good;
}

std::unique_ptr<ReplyIndex> LdapEntryChecker::build()
{
    if (m_bad > 0)
        return nullptr;
    auto replies = std::make_unique<ReplyIndex>();
    if (m_good > 0 && !replies->reserve(m_good)) {
        m_problems.push_back("not enough memory for " + std::to_string(m_good) + " entries");
        ++m_bad;
        return nullptr;
    }
    std::string_view rest = m_pending;
    const auto next = [&rest](std::size_t length) {
        const std::string_view part = rest.substr(0, length);
        rest.remove_prefix(part.size());
        return part;
    };
    while (!rest.empty()) {
        std::uint32_t lengths[3];
        std::memcpy(lengths, rest.data(), sizeof lengths);
        rest.remove_prefix(sizeof lengths);
        const std::string_view key = next(lengths[0]);
        const std::string_view reply = next(lengths[1]);
        const std::string_view dn = next(lengths[2]);
        const std::size_t before = replies->size();
        std::string why;
        if (!replies->add(key, reply))
            why = replies->fullReason();
        else if (replies->size() == before)
            why = "the control number appears more than once";
        if (!why.empty()) {
            if (m_bad < kNamed)
                problem(std::string(dn), cp1252::toUtf8(key), why);
            ++m_bad;
        }
    }
    std::string().swap(m_pending);
    if (m_bad > 0)
        return nullptr;
    replies->finish();
    return replies;
}

void LdapEntryChecker::problem(const std::string& dn, std::string_view controlNumber, const std::string& why)
{
    m_problems.push_back(dn + " (control number \"" + std::string(controlNumber.substr(0, 64)) + "\"): " + why);
}

std::string LdapEntryChecker::verdict() const
{
    if (m_bad == 0)
        return {};
    std::string error = std::to_string(m_bad) + " entr" + (m_bad == 1 ? "y breaks" : "ies break") +
                        " the directory's rules:";
    for (const std::string& p : m_problems)
        error += "\n  " + p;
    if (m_bad > m_problems.size())
        error += "\n  and " + std::to_string(m_bad - m_problems.size()) + " more";
    return error;
}

LdapSource::LdapSource(LdapSettings settings)
    : m_settings(std::move(settings)), m_name("LDAP directory " + m_settings.uri + " under " + m_settings.base)
{
}

Loaded LdapSource::load(Wake* wake, Clock::time_point deadline)
{
    Loaded loaded;
    LdapError error;
    if (!m_connection.open(m_settings, wake, deadline, error)) {
        loaded.error = error.text;
        loaded.unreachable = error.unreachable;
        loaded.denied = !error.unreachable;
        return loaded;
    }
    if (m_settings.checkInterval.count() > 0) {
        // Read before the entries: a change made while they are read
        // shows at the next check.
        findMarker(wake, deadline);
        if (!m_markerDn.empty()) {
            m_marker = readAttribute(m_markerDn, "contextCSN", wake, WakeOn::Stop, deadline, error).value_or("");
            if (!error.text.empty()) {
                m_connection.close();
                loaded.error = error.text;
                loaded.unreachable = true;
                return loaded;
            }
        }
    }
    loaded = entries(wake, deadline);
    // The connection stays open for the checks, also after a refused load,
    // so that the entries' mending is seen as soon as it is made.
    if (loaded.unreachable || m_markerDn.empty())
        m_connection.close();
    m_nextCheck = Clock::now() + m_settings.checkInterval;
    return loaded;
}

Loaded LdapSource::entries(Wake* wake, Clock::time_point deadline)
{
    Loaded loaded;
    LDAP* ld = m_connection.get();
    LdapEntryChecker checker;
    const std::string names[3] = {m_settings.numberAttribute, m_settings.nameAttribute,
                                  m_settings.telephoneAttribute};
    const auto take = [&](LDAPMessage* entry) {
        if (checker.taken() >= m_settings.maxEntries)
            return false;
        std::string_view values[3];
        std::string_view dn;
        if (!readEntry(ld, entry, names, values, dn))
            dn = "(an entry the directory sent damaged)";
        checker.take({std::string(values[0]), std::string(values[1]), std::string(values[2])},
                     [dn] { return std::string(dn); });
        return true;
    };
    PageCookie cookie;
    std::string lastCookie;
    std::size_t before = 0;
    do {
        if (std::optional<LdapError> error = page(cookie, take, checker, wake, deadline)) {
            loaded.error = std::move(error->text);
            loaded.unreachable = error->unreachable;
            loaded.denied = !error->unreachable;
            return loaded;
        }
        // A page without entries that hands back the cookie it was given
        // would be asked for again for ever: the search does not advance.
        // (A directory may keep one cookie for a whole search, as Samba
        // does, while its pages bring entries.)
        std::string next(cookie.value.bv_val ? cookie.value.bv_val : "", cookie.value.bv_len);
        if (next.size() > 0 && next == lastCookie && checker.taken() == before) {
            loaded.denied = true;
            loaded.error = m_name + ": the directory sent an empty page with the same paging cookie, so its paged "
                           "search does not advance (entries received: " + std::to_string(checker.taken()) + ")";
            return loaded;
        }
        lastCookie = std::move(next);
        before = checker.taken();
    } while (cookie.value.bv_len > 0);
    std::unique_ptr<ReplyIndex> replies = checker.build();
    if (!replies) {
        loaded.error = checker.verdict();
        loaded.rejected = true;
        return loaded;
    }
    if (replies->size() == 0 && !m_settings.allowEmpty) {
        loaded.rejected = true;
        loaded.error = "the search finds no entries under " + m_settings.base + " with " + m_settings.filter +
                       ": nothing to serve (--allow-empty serves an empty directory)";
        return loaded;
    }
    loaded.entries = replies->size();
    loaded.description = std::to_string(replies->size()) + " entries from " + m_name + " (" + heldInMemory(*replies) + ")";
    loaded.table = std::move(replies);
    return loaded;
}

std::optional<LdapError> LdapSource::page(PageCookie& cookie, const std::function<bool(LDAPMessage*)>& take,
                                          const LdapEntryChecker& checker, Wake* wake, Clock::time_point deadline)
{
    LDAP* ld = m_connection.get();
    std::string attributes[] = {m_settings.numberAttribute, m_settings.nameAttribute, m_settings.telephoneAttribute};
    char* wanted[] = {attributes[0].data(), attributes[1].data(), attributes[2].data(), nullptr};
    LDAPControl* pageControl = nullptr;
    // Critical: a server that cannot page refuses the search rather than
    // cutting it at its size limit.
    int rc = ldap_create_page_control(ld, static_cast<ber_int_t>(m_settings.pageSize), &cookie.value, 1, &pageControl);
    cookie.reset();
    if (rc != LDAP_SUCCESS)
        return LdapError{"cannot ask for a page of entries: " + std::string(ldap_err2string(rc)), false};
    LDAPControl* controls[] = {pageControl, nullptr};
    timeval limit = serverLimit(deadline);
    int msgid = 0;
    rc = ldap_search_ext(ld, m_settings.base.c_str(), LDAP_SCOPE_SUBTREE, m_settings.filter.c_str(), wanted, 0,
                         controls, nullptr, &limit, LDAP_NO_LIMIT, &msgid);
    ldap_control_free(pageControl);
    if (rc == LDAP_FILTER_ERROR)
        return LdapError{"--ldap-filter '" + m_settings.filter + "' is not an LDAP filter", false};
    if (rc != LDAP_SUCCESS)
        return LdapError{"cannot search " + m_name + ": " + m_connection.lastError(), ldapUnreachable(rc)};
    SearchEnd end;
    if (const auto wait = readSearch(m_connection, msgid, wake, WakeOn::Stop, deadline, take, end);
        wait != LdapConnection::Wait::Ok) {
        LdapError error = m_connection.waitError(wait, "reading " + m_name);
        if (wait == LdapConnection::Wait::TimedOut)
            error.text = "reading " + m_name + ": the search did not end in time (entries received: " +
                         std::to_string(checker.taken()) + ")";
        return error;
    }
    if (end.givenUp) {
        ldap_controls_free(end.controls);
        return LdapError{m_name + ": the search sent more than the " + std::to_string(m_settings.maxEntries) +
                             " entries this server may hold (--max-memory-entries)",
                         false};
    }
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, end.controls, nullptr);
    ber_int_t estimate = 0;
    const bool paged = response && ldap_parse_pageresponse_control(ld, response, &estimate, &cookie.value) == LDAP_SUCCESS;
    ldap_controls_free(end.controls);
    switch (end.code) {
    case LDAP_SUCCESS: break;
    case LDAP_SIZELIMIT_EXCEEDED:
        return LdapError{m_name + ": the directory cut the search at its size limit after " +
                             std::to_string(checker.taken()) +
                             " entries; let paged searches past it (OpenLDAP: sizelimit size.prtotal=unlimited)",
                         false};
    case LDAP_NO_SUCH_OBJECT: return LdapError{m_name + ": the base " + m_settings.base + " does not exist", false};
    default: return LdapError{"searching " + m_name + " failed: " + end.text, ldapUnreachable(end.code)};
    }
    if (!paged)
        return LdapError{m_name + ": the directory answered without paging", false};
    return std::nullopt;
}

std::optional<std::string> LdapSource::readAttribute(const std::string& dn, const char* attribute, Wake* wake,
                                                     WakeOn on, Clock::time_point deadline, LdapError& error)
{
    error = {};
    LDAP* ld = m_connection.get();
    std::string name = attribute;
    char* wanted[] = {name.data(), nullptr};
    timeval limit = serverLimit(deadline);
    int msgid = 0;
    if (const int rc = ldap_search_ext(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", wanted, 0, nullptr,
                                       nullptr, &limit, 1, &msgid);
        rc != LDAP_SUCCESS) {
        error = {"cannot read " + name + " of " + dn + ": " + m_connection.lastError(), true};
        return std::nullopt;
    }
    std::optional<std::string> value;
    const auto take = [&](LDAPMessage* entry) {
        berval** values = ldap_get_values_len(ld, entry, attribute);
        for (int i = 0; values && values[i]; ++i) {
            value = value ? *value + " " : std::string();
            value->append(values[i]->bv_val, values[i]->bv_len);
        }
        ldap_value_free_len(values);
        return true;
    };
    SearchEnd end;
    if (const auto wait = readSearch(m_connection, msgid, wake, on, deadline, take, end);
        wait != LdapConnection::Wait::Ok) {
        error = m_connection.waitError(wait, "reading " + name + " of " + dn);
        return std::nullopt;
    }
    ldap_controls_free(end.controls);
    if (ldapUnreachable(end.code))
        error = {"reading " + name + " of " + dn + " failed: " + end.text, true};
    return value;
}

void LdapSource::findMarker(Wake* wake, Clock::time_point deadline)
{
    if (m_markerSought)
        return;
    std::string dn = m_settings.base;
    LdapError error;
    for (;;) {
        if (readAttribute(dn, "contextCSN", wake, WakeOn::Stop, deadline, error)) {
            m_markerDn = dn;
            m_markerSought = true;
            log("watching the contextCSN of " + dn + " for changes, every " +
                std::to_string(m_settings.checkInterval.count()) + " s");
            return;
        }
        if (!error.text.empty())
            return; // sought again at the next load
        LDAPDN parsed = nullptr;
        char* parent = nullptr;
        if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAP) == LDAP_SUCCESS && parsed && parsed[0] && parsed[1])
            ldap_dn2str(parsed + 1, &parent, LDAP_DN_FORMAT_LDAPV3);
        ldap_dnfree(parsed);
        if (!parent)
            break;
        dn = parent;
        ldap_memfree(parent);
    }
    m_markerSought = true;
    log(m_name + " keeps no contextCSN this account may read: changes are loaded every --refresh seconds and "
                 "on SIGHUP");
}

Source::Watch LdapSource::watch(Wake& wake, Clock::time_point until)
{
    if (!m_connection.isOpen() || m_markerDn.empty())
        return Source::watch(wake, until);
    if (waitReady(-1, 0, &wake, WakeOn::Any, std::min(until, m_nextCheck)) == Ready::Woken) {
        wake.drain();
        return Watch::Quiet;
    }
    if (Clock::now() < m_nextCheck)
        return Watch::Quiet;
    LdapError error;
    const std::string marker =
        readAttribute(m_markerDn, "contextCSN", &wake, WakeOn::Any, Clock::now() + m_settings.timeout, error)
            .value_or("");
    m_nextCheck = Clock::now() + m_settings.checkInterval;
    if (!error.text.empty()) {
        // Interrupted by a reason to load, or the directory is gone: the
        // load opens a connection of its own.
        m_connection.close();
        if (error.woken)
            wake.drain();
        return error.woken ? Watch::Quiet : Watch::Lost;
    }
    return marker != m_marker ? Watch::Changed : Watch::Quiet;
}

} // namespace velmario::server
