// selvina-calendar against a real Evolution Data Server: each run gets a private session bus whose
// registry and calendar factory read local calendars written here into a temporary home.
#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ctime>
#include <iostream>

namespace {

struct ToolRun {
    QByteArray out, err;
    int status = -1;
};

class EdsCalendarTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Local time unlike UTC and unlike the events' own zones.
        qputenv("TZ", "Europe/Warsaw");
        tzset();
    }

    void SetUp() override
    {
        m_today = QDate::currentDate();
        writeCalendar("praca", "Praca",
                      event("w1", "Cotygodniowe", span(-7, 7, 8) + "\nRRULE:FREQ=WEEKLY") +
                          event("n1", nullptr, span(0, 9, 10) + "\nLOCATION:Sala 2\nDESCRIPTION:" + notes().toUtf8() +
                                                   "\nATTENDEE;CN=Ala:mailto:ala@example.org\nATTENDEE;CN=Olek:mailto:olek@example.org") +
                          event("e1", "Puste notatki", span(0, 13, 14) + "\nDESCRIPTION:") +
                          event("a1", "Urlop", "DTSTART;VALUE=DATE:" + day(1) + "\nDTEND;VALUE=DATE:" + day(2)) +
                          event("old", "Dawno", span(-30, 9, 10)));
        // 20:00 in Tokyo is 11:00 UTC.
        writeCalendar("dom", "Dom",
                      event("t1", "Obiad", "DTSTART;TZID=Asia/Tokyo:" + day(0) + "T200000\nDTEND;TZID=Asia/Tokyo:" + day(0) +
                                               "T210000"));
    }

    static QString notes() { return QStringLiteral("Notatka ż ").repeated(100); } // 1000 characters

    QByteArray day(int offset) const { return m_today.addDays(offset).toString("yyyyMMdd").toLatin1(); }
    QByteArray utc(int offset, int hour) const { return day(offset) + QStringLiteral("T%1").arg(hour, 2, 10, QLatin1Char('0')).toLatin1() + "0000Z"; }
    QByteArray span(int offset, int from, int to) const { return "DTSTART:" + utc(offset, from) + "\nDTEND:" + utc(offset, to); }
    static QByteArray event(const char* uid, const char* title, const QByteArray& body)
    {
        return QByteArray("BEGIN:VEVENT\nUID:") + uid + "\nDTSTAMP:20260101T000000Z\n" +
               (title ? QByteArray("SUMMARY:") + title + "\n" : QByteArray()) + body + "\nEND:VEVENT\n";
    }

    void writeCalendar(const char* uid, const char* name, const QByteArray& events, const char* backend = "local")
    {
        selvina::testing::writeFile(m_home.filePath(QStringLiteral(".config/evolution/sources/%1.source").arg(uid)),
                                    QByteArray("[Data Source]\nDisplayName=") + name +
                                        "\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=" + backend + "\n");
        selvina::testing::writeFile(
            m_home.filePath(QStringLiteral(".local/share/evolution/calendar/%1/calendar.ics").arg(uid)),
            "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//selvina//test//PL\n" + events + "END:VCALENDAR\n");
    }

    // The tool in a bus session of its own, or on the bus given; its own standard error is kept apart
    // from the bus daemon's messages.
    ToolRun run(const QStringList& args, const QByteArray& busAddress = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString errFile = m_home.filePath("stderr");
        for (const auto& [key, value] : {std::pair{"HOME", m_home.path()}, {"XDG_CONFIG_HOME", m_home.filePath(".config")},
                                        {"XDG_DATA_HOME", m_home.filePath(".local/share")}, {"XDG_CACHE_HOME", m_home.filePath(".cache")},
                                        {"CALENDAR_STDERR", errFile}, {"DBUS_SESSION_BUS_ADDRESS", QString::fromLatin1(busAddress)},
                                        // Evolution Data Server and GLib keep process-wide caches alive until exit; a leak
                                        // checker in a sanitizer build would report them and turn the exit status into 1.
                                        {"ASAN_OPTIONS", QStringLiteral("detect_leaks=0")}})
            if (!value.isEmpty())
                env.insert(key, value);
        p.setProcessEnvironment(env);
        const QStringList shell{"-c", "exec \"$0\" \"$@\" 2>\"$CALENDAR_STDERR\"", QStringLiteral(SELVINA_CALENDAR_BIN)};
        if (busAddress.isEmpty())
            p.start("dbus-run-session", QStringList{"--", "/bin/sh"} + shell + args);
        else
            p.start("/bin/sh", shell + args);
        if (!p.waitForFinished(30'000))
            return {};
        return {p.readAllStandardOutput(), selvina::testing::readFile(errFile),
                p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1};
    }
    // The day `offset` from today at `hour`, local time or UTC, as the tool writes it (in UTC).
    QByteArray iso(int offset, int hour = 0, Qt::TimeSpec zone = Qt::LocalTime) const
    {
        return QDateTime(m_today.addDays(offset), QTime(hour, 0), zone).toUTC().toString(Qt::ISODate).toLatin1();
    }
    QByteArray empty(int offset) const
    {
        return R"({"calendars":4,"count":0,"events":[],"from":")" + iso(offset) + R"(","to":")" + iso(offset) + R"("})";
    }

    QTemporaryDir m_home;
    QDate m_today;
};

TEST_F(EdsCalendarTest, EventsOfEveryCalendarOptionFallbacksAndEveryFailureAnswerJSON)
{
    // A one-hour event of today as the tool writes it: its hours in UTC, the keys sorted.
    const auto timed = [&](const char* calendar, int from, const char* title) -> QByteArray {
        return R"j({"allDay":false,"calendar":")j" + QByteArray(calendar) + R"j(","end":")j" + iso(0, from + 1, Qt::UTC) +
               R"j(","start":")j" + iso(0, from, Qt::UTC) + R"j(","title":")j" + title + R"j("},)j";
    };
    // Birthdays and Personal are built into every registry; with ours they make four.
    const QByteArray expected =
        R"j({"calendars":4,"count":5,"events":[)j" + timed("Praca", 7, "Cotygodniowe") +
        R"j({"allDay":false,"attendees":2,"calendar":"Praca","end":")j" + iso(0, 10, Qt::UTC) + R"j(","location":"Sala 2",)j"
        R"j("notes":")j" + notes().left(300).toUtf8() + R"j(","start":")j" + iso(0, 9, Qt::UTC) + R"j(","title":"(bez tytułu)"},)j" +
        timed("Dom", 11, "Obiad") + timed("Praca", 13, "Puste notatki") +
        R"j({"allDay":true,"calendar":"Praca","end":")j" + iso(2) + R"j(","start":")j" + iso(1) + R"j(","title":"Urlop"}],)j"
        R"j("from":")j" + iso(0) + R"j(","to":")j" + iso(2) + R"j("})j";
    for (const QStringList& args : {QStringList{}, QStringList{"--od", "abc"}, QStringList{"--od", "0", "--do"},
                                    QStringList{"--x", "--od", "-0", "--do", "1", "--od", "5"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, expected);
    }
    EXPECT_EQ(run({"--od", "3", "--do", "2"}).out, empty(3));
    EXPECT_EQ(run({"--od", "+2"}).out, empty(2)); // the default last day (tomorrow) is before the first

    // No session bus, no store on the bus, a broken calendar, a range past the last day: still JSON.
    const ToolRun noBus = run({}, "unix:path=" + QFile::encodeName(m_home.filePath("no-bus")));
    EXPECT_EQ(noBus.status, 0);
    EXPECT_EQ(noBus.err, "");
    EXPECT_TRUE(noBus.out.startsWith(R"({"authorization":"unknown","error":"Brak sesyjnej magistrali D-Bus ()"));
    EXPECT_TRUE(noBus.out.endsWith(R"j(), a kalendarze Evolution Data Server są dostępne tylko przez nią. Uruchom program w zalogowanej sesji użytkownika."})j"))
        << noBus.out.toStdString();

    // A session bus without service files: Evolution Data Server is not installed.
    selvina::testing::writeFile(m_home.filePath("bare-bus.conf"), R"(<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>)");
    QProcess daemon;
    daemon.start("dbus-daemon", {"--nofork", "--print-address=1", "--config-file=" + m_home.filePath("bare-bus.conf")});
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const ToolRun noEds = run({}, daemon.readLine().trimmed());
    selvina::testing::stopProcess(daemon);
    EXPECT_EQ(noEds.err, "");
    EXPECT_TRUE(noEds.out.startsWith(
        R"({"authorization":"unknown","error":"Nie można połączyć się z rejestrem kalendarzy Evolution Data Server ()"));
    EXPECT_TRUE(noEds.out.contains("(sudo apt install evolution-data-server)")) << noEds.out.toStdString();

    // A calendar whose backend is missing is reported beside the events of the others.
    writeCalendar("zepsuty", "Zepsuty", {}, "nosuch");
    const ToolRun broken = run({});
    EXPECT_TRUE(broken.out.startsWith(R"({"calendars":5,"count":5,)")) << broken.out.toStdString();
    EXPECT_TRUE(broken.out.contains(R"("unavailable":[{"calendar":"Zepsuty","error":"Nie można otworzyć kalendarza „Zepsuty” ()"));

    const ToolRun top = run({"--do", "9223372036854775807"});
    EXPECT_EQ(top.status, 0);
    EXPECT_EQ(top.out, R"({"error":"Niepoprawny zakres dni."})");
}

} // namespace
