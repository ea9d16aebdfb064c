// Who the server lets in, and how much they may ask, without sockets: the
// admission policy with the time stepped by the test, the networks of
// --allow, and the connections the file descriptors leave room for.
#include "admission.h"
#include "descriptors.h"

#include <QTest>

#include <optional>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;
using namespace velmario::server;
using Verdict = Admission::Verdict;
Q_DECLARE_METATYPE(Verdict)

namespace {

Address at(const char* text)
{
    const std::optional<Cidr> one = Cidr::parse(text);
    Q_ASSERT(one);
    return one->network;
}

AdmissionLimits rated(double perSecond, double burst)
{
    AdmissionLimits limits;
    limits.maxConnections = 100;
    limits.rateLimit = perSecond;
    limits.rateBurst = burst;
    return limits;
}

// Lookups granted to `connection` at `nowMs`, asking until one is refused
// (or 1000 are granted).
int lookupsAt(Admission& admission, Admission::Connection& connection, std::uint64_t nowMs)
{
    int granted = 0;
    while (granted < 1000 && admission.takeLookup(connection, nowMs))
        ++granted;
    return granted;
}

} // namespace

class TestAdmission : public QObject
{
    Q_OBJECT

private slots:
    // --- The lookup allowance ---------------------------------------------

    void burstThenRate()
    {
        Admission admission(rated(1, 3));
        auto* c = admission.admit(at("192.0.2.1"), 1, 10'000).connection;
        QVERIFY(c);
        QCOMPARE(lookupsAt(admission, *c, 10'000), 3);
        QCOMPARE(lookupsAt(admission, *c, 10'999), 0);
        QCOMPARE(lookupsAt(admission, *c, 11'000), 1);
        QCOMPARE(lookupsAt(admission, *c, 13'500), 2); // 2.5 grew back; half a lookup is no lookup
        QCOMPARE(lookupsAt(admission, *c, 14'000), 1);
    }

    // However long a client waits, it has the burst and no more.
    void burstIsTheCap()
    {
        Admission admission(rated(5, 50));
        auto* c = admission.admit(at("192.0.2.1"), 1, 0).connection;
        QCOMPARE(lookupsAt(admission, *c, 0), 50);
        QCOMPARE(lookupsAt(admission, *c, 3'600'000), 50);
        QCOMPARE(lookupsAt(admission, *c, 3'600'200), 1);
    }

    void noRateNoLimit()
    {
        Admission admission(rated(0, 0));
        auto* c = admission.admit(at("192.0.2.1"), 1, 0).connection;
        QCOMPARE(lookupsAt(admission, *c, 0), 1000);
    }

    // The allowance belongs to the address: a new connection, or a second
    // one, does not renew it.
    void allowanceOutlivesConnections()
    {
        Admission admission(rated(1, 3));
        auto* first = admission.admit(at("192.0.2.1"), 1, 0).connection;
        QCOMPARE(lookupsAt(admission, *first, 0), 3);
        auto* second = admission.admit(at("192.0.2.1"), 2, 100).connection;
        QCOMPARE(lookupsAt(admission, *second, 100), 0);
        admission.release(*first);
        admission.release(*second);
        admission.forget(200);
        auto* again = admission.admit(at("192.0.2.1"), 3, 300).connection;
        QCOMPARE(lookupsAt(admission, *again, 300), 0);
        QCOMPARE(lookupsAt(admission, *again, 1000), 1);
        // Another address has its own.
        auto* other = admission.admit(at("192.0.2.2"), 4, 1000).connection;
        QCOMPARE(lookupsAt(admission, *other, 1000), 3);
    }

    // An address without connections is forgotten only once its allowance
    // has grown back whole; before that, it comes back to what it had.
    void forgottenOnlyWhenWholeAgain()
    {
        Admission admission(rated(1, 3));
        auto* c = admission.admit(at("192.0.2.1"), 1, 0).connection;
        QCOMPARE(lookupsAt(admission, *c, 0), 3);
        admission.release(*c);
        admission.forget(2'999);
        QCOMPARE(admission.knownClients(), std::size_t(1));
        QVERIFY(admission.find(at("192.0.2.1")));
        auto* back = admission.admit(at("192.0.2.1"), 2, 2'000).connection;
        QCOMPARE(lookupsAt(admission, *back, 2'000), 2);
        admission.release(*back);
        admission.forget(4'999);
        QCOMPARE(admission.knownClients(), std::size_t(1));
        admission.forget(5'000);
        QCOMPARE(admission.knownClients(), std::size_t(0));
        // An address with a connection stays, however full its allowance.
        auto* held = admission.admit(at("192.0.2.1"), 3, 6'000).connection;
        QVERIFY(held);
        admission.forget(1'000'000);
        QCOMPARE(admission.knownClients(), std::size_t(1));
    }

    void forgottenAtOnceWithoutARate()
    {
        Admission admission(rated(0, 0));
        auto* c = admission.admit(at("192.0.2.1"), 1, 0).connection;
        admission.release(*c);
        admission.forget(0);
        QCOMPARE(admission.knownClients(), std::size_t(0));
    }

    // --- Which addresses are one client ------------------------------------

    void clients_data()
    {
        QTest::addColumn<uint>("prefix");
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("IPv4 neighbours") << 64u << u"127.0.0.2"_s << u"127.0.0.3"_s << false;
        QTest::newRow("one IPv4 address") << 64u << u"127.0.0.2"_s << u"127.0.0.2"_s << true;
        QTest::newRow("IPv4 even with a short IPv6 prefix") << 8u << u"10.0.0.1"_s << u"10.0.0.2"_s << false;
        QTest::newRow("one /64") << 64u << u"2001:db8:1:2::1"_s << u"2001:db8:1:2:ffff:ffff:ffff:fffe"_s << true;
        QTest::newRow("neighbouring /64s") << 64u << u"2001:db8:1:2::1"_s << u"2001:db8:1:3::1"_s << false;
        QTest::newRow("one /48") << 48u << u"2001:db8:1:2::1"_s << u"2001:db8:1:3::1"_s << true;
        QTest::newRow("/56, bit 56 differs") << 56u << u"2001:db8:1:200::1"_s << u"2001:db8:1:280::1"_s << true;
        QTest::newRow("/56, bit 55 differs") << 56u << u"2001:db8:1:200::1"_s << u"2001:db8:1:300::1"_s << false;
        QTest::newRow("/128: each address") << 128u << u"2001:db8::1"_s << u"2001:db8::2"_s << false;
        QTest::newRow("IPv4 and its IPv6 neighbour") << 64u << u"127.0.0.1"_s << u"::1"_s << false;
    }
    void clients()
    {
        QFETCH(uint, prefix);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        AdmissionLimits limits = rated(1, 2);
        limits.ipv6PrefixLength = prefix;
        Admission admission(limits);
        QCOMPARE(admission.clientOf(at(qPrintable(a))) == admission.clientOf(at(qPrintable(b))), same);
        // ... and so share one allowance, or not.
        auto* first = admission.admit(at(qPrintable(a)), 1, 0).connection;
        QCOMPARE(lookupsAt(admission, *first, 0), 2);
        auto* second = admission.admit(at(qPrintable(b)), 2, 0).connection;
        QCOMPARE(lookupsAt(admission, *second, 0), same ? 0 : 2);
        QCOMPARE(admission.find(at(qPrintable(b)))->connections, same ? std::size_t(2) : std::size_t(1));
    }

    void clientOfIsTheNetwork()
    {
        AdmissionLimits limits;
        limits.ipv6PrefixLength = 64;
        Admission admission(limits);
        QCOMPARE(admission.clientOf(at("2001:db8:1:2:3:4:5:6")), at("2001:db8:1:2::"));
        QCOMPARE(admission.clientOf(at("192.0.2.77")), at("192.0.2.77"));
        QCOMPARE(addressText(admission.clientOf(at("2001:db8:1:2:3:4:5:6"))), std::string("2001:db8:1:2::"));
    }

    // --- Connections ----------------------------------------------------

    // While the server is not busy, one address may hold many: a classroom
    // behind one NAT address.
    void quietServerTakesAWholeClassroom()
    {
        AdmissionLimits limits;
        limits.maxConnections = 1024;
        limits.busyConnections = 512;
        limits.maxConnectionsPerAddress = 16;
        Admission admission(limits);
        for (std::uint64_t i = 1; i <= 60; ++i)
            QCOMPARE(admission.admit(at("198.51.100.7"), i, i).verdict, Verdict::Admitted);
        QCOMPARE(admission.openConnections(), std::size_t(60));
    }

    // From the busy mark on, an address holding its share gets no more;
    // other addresses still get in.
    void busyServerKeepsEachAddressToItsShare()
    {
        AdmissionLimits limits;
        limits.maxConnections = 100;
        limits.busyConnections = 50;
        limits.maxConnectionsPerAddress = 16;
        Admission admission(limits);
        std::uint64_t id = 0;
        for (int i = 0; i < 50; ++i)
            QCOMPARE(admission.admit(at("203.0.113.1"), ++id, 0).verdict, Verdict::Admitted);
        QCOMPARE(admission.admit(at("203.0.113.1"), ++id, 0).verdict, Verdict::BusyForAddress);
        for (int i = 0; i < 16; ++i)
            QCOMPARE(admission.admit(at("203.0.113.2"), ++id, 0).verdict, Verdict::Admitted);
        // 203.0.113.2 holds its share, but 203.0.113.1 holds more: the
        // newcomer takes the place of one of those.
        const auto decision = admission.admit(at("203.0.113.2"), ++id, 0);
        QCOMPARE(decision.verdict, Verdict::Admitted);
        QVERIFY(decision.displaced >= 1 && decision.displaced <= 50);
        QCOMPARE(admission.find(at("203.0.113.1"))->connections, std::size_t(49));
        QCOMPARE(admission.openConnections(), std::size_t(66));
    }

    void noPerAddressLimit()
    {
        AdmissionLimits limits;
        limits.maxConnections = 10;
        limits.busyConnections = 0;
        limits.maxConnectionsPerAddress = 0;
        Admission admission(limits);
        for (std::uint64_t i = 1; i <= 10; ++i)
            QCOMPARE(admission.admit(at("203.0.113.1"), i, 0).verdict, Verdict::Admitted);
        QCOMPARE(admission.admit(at("203.0.113.1"), 11, 0).verdict, Verdict::Busy);
    }

    // At the limit, a newcomer from an address holding fewer takes the
    // place of the longest idle connection of the address holding the most,
    // until both hold about as many; then nobody gains at another's cost.
    void fullServerSharesOut()
    {
        AdmissionLimits limits;
        limits.maxConnections = 10;
        limits.busyConnections = 10;
        limits.maxConnectionsPerAddress = 16;
        limits.ipv6PrefixLength = 64;
        Admission admission(limits);
        std::vector<Admission::Connection*> flood;
        for (std::uint64_t i = 1; i <= 10; ++i)
            flood.push_back(admission.admit(at("2001:db8:bad::1"), i, 1000).connection);
        // All but connection 4 answered since; 4 is the idlest.
        for (std::uint64_t i = 1; i <= 10; ++i) {
            if (i != 4)
                Admission::touch(*flood[i - 1], 2000 + i);
        }
        QCOMPARE(admission.admit(at("2001:db8:bad::2"), 11, 3000).verdict, Verdict::Busy); // the same /64
        auto first = admission.admit(at("192.0.2.9"), 12, 3000);
        QCOMPARE(first.verdict, Verdict::Admitted);
        QCOMPARE(first.displaced, std::uint64_t(4));
        // Then the idlest left: 1 (answered at 2001).
        QCOMPARE(admission.admit(at("192.0.2.9"), 13, 3000).displaced, std::uint64_t(1));
        QCOMPARE(admission.admit(at("192.0.2.9"), 14, 3000).displaced, std::uint64_t(2));
        QCOMPARE(admission.admit(at("192.0.2.9"), 15, 3000).displaced, std::uint64_t(3));
        // 6 and 4: one more would leave 5 and 5.
        QCOMPARE(admission.admit(at("192.0.2.9"), 16, 3000).displaced, std::uint64_t(5));
        QCOMPARE(admission.admit(at("192.0.2.9"), 17, 3000).verdict, Verdict::Busy);
        QCOMPARE(admission.admit(at("2001:db8:bad::3"), 18, 3000).verdict, Verdict::Busy);
        QCOMPARE(admission.find(at("192.0.2.9"))->connections, std::size_t(5));
        QCOMPARE(admission.find(at("2001:db8:bad::1"))->connections, std::size_t(5));
        QCOMPARE(admission.openConnections(), std::size_t(10));
        // A third address still gets in: it holds none.
        auto third = admission.admit(at("192.0.2.10"), 19, 3000);
        QCOMPARE(third.verdict, Verdict::Admitted);
        QVERIFY(third.displaced != 0);
        // A connection that closes makes room for anyone.
        admission.release(*third.connection);
        QCOMPARE(admission.admit(at("2001:db8:bad::3"), 20, 3000).verdict, Verdict::Admitted);
    }

    // An address holding one fewer than the one holding the most does not
    // take its place: the two would only take turns.
    void noTakingTurns()
    {
        AdmissionLimits limits;
        limits.maxConnections = 3;
        Admission admission(limits);
        QCOMPARE(admission.admit(at("192.0.2.1"), 1, 0).verdict, Verdict::Admitted);
        QCOMPARE(admission.admit(at("192.0.2.1"), 2, 0).verdict, Verdict::Admitted);
        QCOMPARE(admission.admit(at("192.0.2.2"), 3, 0).verdict, Verdict::Admitted);
        // Full: 192.0.2.2 holds one fewer than 192.0.2.1.
        QCOMPARE(admission.admit(at("192.0.2.2"), 4, 0).verdict, Verdict::Busy);
        // 192.0.2.3 holds two fewer: it gets in, and 192.0.2.1 gives one up.
        const auto third = admission.admit(at("192.0.2.3"), 5, 0);
        QCOMPARE(third.verdict, Verdict::Admitted);
        QCOMPARE(third.displaced, std::uint64_t(1));
        // One each: nobody gets in at another's cost.
        QCOMPARE(admission.admit(at("192.0.2.4"), 6, 0).verdict, Verdict::Busy);
        QCOMPARE(admission.admit(at("192.0.2.1"), 7, 0).verdict, Verdict::Busy);
        QCOMPARE(admission.openConnections(), std::size_t(3));
    }

    void allowedNetworks_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<Verdict>("verdict");
        QTest::newRow("the one address") << u"192.0.2.1"_s << Verdict::Admitted;
        QTest::newRow("its neighbour") << u"192.0.2.2"_s << Verdict::Denied;
        QTest::newRow("in the /29") << u"10.0.0.15"_s << Verdict::Admitted;
        QTest::newRow("past the /29") << u"10.0.0.16"_s << Verdict::Denied;
        QTest::newRow("in the IPv6 /32") << u"2001:db8:ffff::1"_s << Verdict::Admitted;
        QTest::newRow("past the IPv6 /32") << u"2001:db9::1"_s << Verdict::Denied;
        QTest::newRow("an IPv4-mapped address is the IPv4 one") << u"::ffff:10.0.0.9"_s << Verdict::Admitted;
    }
    void allowedNetworks()
    {
        QFETCH(QString, from);
        QFETCH(Verdict, verdict);
        AdmissionLimits limits = rated(0, 0);
        for (const char* network : {"192.0.2.1", "10.0.0.8/29", "2001:db8::/32"})
            limits.allow.push_back(*Cidr::parse(network));
        Admission admission(limits);
        QCOMPARE(admission.admit(at(qPrintable(from)), 1, 0).verdict, verdict);
    }

    void networksOfAllow_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("network"); // empty: refused
        QTest::addColumn<uint>("prefix");     // of the 128 bits
        QTest::newRow("one IPv4 address") << u"192.0.2.1"_s << u"192.0.2.1"_s << 128u;
        QTest::newRow("IPv4 /32") << u"192.0.2.1/32"_s << u"192.0.2.1"_s << 128u;
        QTest::newRow("IPv4 /33") << u"192.0.2.1/33"_s << u""_s << 0u;
        QTest::newRow("IPv4 /64") << u"192.0.2.1/64"_s << u""_s << 0u;
        QTest::newRow("IPv4 /0") << u"192.0.2.1/0"_s << u"0.0.0.0"_s << 96u;
        QTest::newRow("host bits dropped") << u"10.1.2.3/8"_s << u"10.0.0.0"_s << 104u;
        QTest::newRow("IPv6 /128") << u"2001:db8::1/128"_s << u"2001:db8::1"_s << 128u;
        QTest::newRow("IPv6 /129") << u"2001:db8::1/129"_s << u""_s << 0u;
        QTest::newRow("IPv6 /33, host bits dropped") << u"2001:db8:ffff::/33"_s << u"2001:db8:8000::"_s << 33u;
        QTest::newRow("no prefix after the slash") << u"10.0.0.0/"_s << u""_s << 0u;
        QTest::newRow("a sign") << u"10.0.0.0/+8"_s << u""_s << 0u;
        QTest::newRow("trailing text") << u"10.0.0.0/8x"_s << u""_s << 0u;
        QTest::newRow("not an address") << u"10.0.0/8"_s << u""_s << 0u;
        QTest::newRow("a name") << u"localhost"_s << u""_s << 0u;
    }
    void networksOfAllow()
    {
        QFETCH(QString, text);
        QFETCH(QString, network);
        QFETCH(uint, prefix);
        const std::optional<Cidr> cidr = Cidr::parse(text.toStdString());
        QCOMPARE(cidr.has_value(), !network.isEmpty());
        if (cidr) {
            QCOMPARE(QString::fromStdString(addressText(cidr->network)), network);
            QCOMPARE(cidr->prefix, prefix);
        }
    }

    // --- Descriptors ----------------------------------------------------

    void connectionsWithinDescriptors_data()
    {
        QTest::addColumn<quint64>("limit");
        QTest::addColumn<quint64>("open");
        QTest::addColumn<quint64>("reserved");
        QTest::addColumn<quint64>("connections");
        QTest::newRow("ulimit -n 64") << quint64(64) << quint64(12) << quint64(32) << quint64(20);
        QTest::newRow("the unit's 4096") << quint64(4096) << quint64(12) << quint64(32) << quint64(4052);
        QTest::newRow("exactly none left") << quint64(44) << quint64(12) << quint64(32) << quint64(0);
        QTest::newRow("fewer than in use") << quint64(16) << quint64(12) << quint64(32) << quint64(0);
        QTest::newRow("nothing kept back") << quint64(64) << quint64(12) << quint64(0) << quint64(52);
    }
    void connectionsWithinDescriptors()
    {
        QFETCH(quint64, limit);
        QFETCH(quint64, open);
        QFETCH(quint64, reserved);
        QFETCH(quint64, connections);
        QCOMPARE(quint64(connectionsWithin(limit, std::size_t(open), std::size_t(reserved))), connections);
    }
};

QTEST_APPLESS_MAIN(TestAdmission)
#include "tst_admission.moc"
