#pragma once
// The directory served straight from an organisation's LDAP directory or
// Active Directory: the entries a search finds, read a page at a time
// (RFC 2696, so that no server size limit cuts it), checked by the import's
// rules and held in memory as ready replies.
//
// Changes: where the directory keeps a contextCSN (OpenLDAP's syncprov
// overlay, which offers content synchronisation), it is read every
// --ldap-check-interval seconds on the connection kept open between loads,
// and any change to it loads the directory again; elsewhere (Active
// Directory) the refresh and SIGHUP do. Reading one attribute of one entry
// costs the directory next to nothing, needs no state kept on either side,
// and sees every change, deletions too, which a persistent search would
// only give through a synchronisation cookie of the server's own making.

#include "ldapconnection.h"
#include "source.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmario::server {

struct PageCookie;

// The entries of one load checked one by one, then held as a reply table;
// those that break the rules are named by DN, at most kNamed of them. The
// number of entries is known only at the end, so the good ones wait,
// packed as their Windows-1252 key and reply and their DN, until the table
// is sized for them once.
class LdapEntryChecker
{
public:
    static constexpr std::size_t kNamed = 20;

    // `dn` is asked for every good entry (a repeated control number is
    // found only when the table is built) and every bad one named.
    void take(const Entry& entry, const std::function<std::string()>& dn);
    // The table of the good entries, or nothing (see verdict()) when any
    // entry broke the rules or the table could not be built.
    std::unique_ptr<ReplyIndex> build();
    // Why the entries are refused, or nothing.
    std::string verdict() const;
    std::size_t taken() const { return m_taken; }

private:
    void problem(const std::string& dn, std::string_view controlNumber, const std::string& why);

    std::string m_pending; // each good entry: three lengths, key, reply, DN
    std::size_t m_good = 0;
    std::vector<std::string> m_problems;
    std::size_t m_taken = 0;
    std::size_t m_bad = 0;
};

class LdapSource final : public Source
{
public:
    explicit LdapSource(LdapSettings settings);

    // Connects (and binds) afresh, reads the change marker, then the
    // entries page by page. Entries that break the rules, or none at all
    // (unless allowed), are refused; a directory that is gone, slow or past
    // the timeout is unreachable.
    Loaded load(Wake* wake, Clock::time_point deadline) override;
    Watch watch(Wake& wake, Clock::time_point until) override;
    std::string name() const override { return m_name; }
    bool retriesAtStart() const override { return true; }

private:
    Loaded entries(Wake* wake, Clock::time_point deadline);
    // Searches for one page of entries, each to `take` (and so to
    // `checker`); `cookie` then holds where the next page starts (empty
    // after the last). Why the search failed, or nothing.
    std::optional<LdapError> page(PageCookie& cookie, const std::function<bool(ldapmsg*)>& take,
                                  const LdapEntryChecker& checker, Wake* wake, Clock::time_point deadline);
    // The values of `attribute` of the entry `dn` joined by spaces, or
    // nothing if it has none or is not there.
    std::optional<std::string> readAttribute(const std::string& dn, const char* attribute, Wake* wake, WakeOn on,
                                             Clock::time_point deadline, LdapError& error);
    // Finds the entry at or above the base that holds a contextCSN, once.
    void findMarker(Wake* wake, Clock::time_point deadline);

    const LdapSettings m_settings;
    const std::string m_name;
    LdapConnection m_connection;
    bool m_markerSought = false;
    std::string m_markerDn;    // empty: no contextCSN to watch
    std::string m_marker;      // its value when the last load began
    Clock::time_point m_nextCheck{};
};

} // namespace velmario::server
