#pragma once
// The directory served straight from an organisation's PostgreSQL database:
// the rows of a query, checked by the import's rules and held in memory as
// ready replies. The source thread loads it again on NOTIFY, every few
// minutes and on SIGHUP; a lost database never stops serving.

#include "pgconnection.h"
#include "source.h"

#include <memory>
#include <string>

namespace velmario::server {

class PostgresSource final : public Source
{
public:
    explicit PostgresSource(PostgresSettings settings) : m_settings(std::move(settings)) {}

    // Connects if it must, then runs the query in one snapshot: its rows
    // are counted, so the table is sized once, and streamed with COPY.
    // Rows that break the rules, a query of the wrong shape or no rows at
    // all (unless allowed) are refused; a database that fails, is gone or
    // takes longer than the timeout is unreachable, and the connection is
    // dropped.
    Loaded load(Wake* wake, Clock::time_point deadline) override;
    Watch watch(Wake& wake, Clock::time_point until) override;
    std::string name() const override { return m_connection.where(); }
    bool retriesAtStart() const override { return true; }

private:
    Loaded rows(Wake* wake, Clock::time_point deadline);

    const PostgresSettings m_settings;
    PostgresConnection m_connection;
};

} // namespace velmario::server
