// grbl's replies as they come off the line, the rates read from its settings, the character counting that
// keeps its receive buffer full, and the search that finds where on a job's path a stopped machine stands.

#include "link/grbl_protocol.h"
#include "run/stream_path.h"

#include <QTest>

#include <array>

using namespace zelmar;

namespace {

constexpr std::int64_t mm = 1'000'000'000; // a millimetre in position units

PathSegment segment(MachinePosition from, MachinePosition to) {
    return {from, to, "G1", false, 0};
}

} // namespace

class GrblProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void repliesComeInPiecesAndAreToldApart() {
        GrblReplies replies;
        std::vector<GrblReply> got;
        const std::string stream = "\r\nGrbl 1.1h ['$' for help]\r\nok\r\nerror:20\r\n"
                                   "<Hold:0|MPos:1.500,-0.852,0.000|FS:0,0>\r\nALARM:3\r\n[MSG:Reset to continue]\r\n"
                                   "<Run|WPos:-2,0.5,.25|Bf:15,128>\nerror:x\n<>\n";
        // One byte a read: every reply still comes whole and once.
        for (char c : stream)
            for (GrblReply& r : replies.add(std::string_view(&c, 1)))
                got.push_back(std::move(r));
        QCOMPARE(got.size(), std::size_t(9)); // the empty lines between "\r" and "\n" are none
        QCOMPARE(got[0].kind, GrblReply::Kind::Welcome);
        QCOMPARE(got[1].kind, GrblReply::Kind::Ok);
        QCOMPARE(got[2].kind, GrblReply::Kind::Error);
        QCOMPARE(got[2].code, 20);
        QCOMPARE(got[3].kind, GrblReply::Kind::Status);
        QCOMPARE(got[3].status.state, std::string("Hold"));
        QCOMPARE(got[3].status.substate, 0);
        QVERIFY(got[3].status.standing());
        QCOMPARE(got[3].status.x, 1500);
        QCOMPARE(got[3].status.y, -852);
        QCOMPARE(got[4].kind, GrblReply::Kind::Alarm);
        QCOMPARE(got[4].code, 3);
        QCOMPARE(got[5].kind, GrblReply::Kind::Other);
        QCOMPARE(got[6].status.state, std::string("Run"));
        QVERIFY(!got[6].status.standing());
        QVERIFY(got[6].status.hasPosition);
        QCOMPARE(got[6].status.x, -2000);
        QCOMPARE(got[6].status.z, 250);
        QCOMPARE(got[7].kind, GrblReply::Kind::Error);
        QCOMPARE(got[7].code, -1); // a number that is none: an error still, of no known code
        QCOMPARE(got[8].kind, GrblReply::Kind::Other); // "<>" is no status
    }

    void aHoldStillDeceleratingIsNotStanding() {
        const GrblReply r = grblReplyOf("<Hold:1|MPos:0.000,0.000,0.000>");
        QCOMPARE(r.kind, GrblReply::Kind::Status);
        QVERIFY(!r.status.standing());
        QVERIFY(grblReplyOf("<Idle|MPos:0.000,0.000,0.000>").status.standing());
        QVERIFY(grblReplyOf("<Alarm|MPos:0.000,0.000,0.000>").status.standing());
        // A position that is no number makes the report none.
        QCOMPARE(grblReplyOf("<Idle|MPos:1.0,zz,0>").kind, GrblReply::Kind::Other);
    }

    // A report's offset and overrides, and the probe's line: "kind" Status, Probe or Other; the expected fields
    // as "x,y,z" texts ("-": absent).
    void offsetsOverridesAndProbes_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("position"); // Status: "M:x,y,z" or "W:x,y,z"; Probe: where it stopped
        QTest::addColumn<QString>("offset");
        QTest::addColumn<QString>("overrides"); // Probe: the contact flag
        QTest::newRow("offset and overrides") << "<Idle|MPos:1.000,2.000,-3.500|FS:0,0|WCO:-1.5,0,10.25|Ov:110,50,90>"
                                              << "Status" << "M:1000,2000,-3500" << "-1500,0,10250" << "110,50,90";
        QTest::newRow("neither") << "<Run|MPos:0,0,0|FS:300,0>" << "Status" << "M:0,0,0" << "-" << "-";
        QTest::newRow("work position") << "<Jog|WPos:-0.004,5,0|WCO:0.004,-5,0>" << "Status" << "W:-4,5000,0"
                                       << "4,-5000,0" << "-";
        QTest::newRow("overrides before the position") << "<Idle|Ov:200,25,10|MPos:1,1,1>" << "Status"
                                                       << "M:1000,1000,1000" << "-" << "200,25,10";
        QTest::newRow("a fourth axis's offset is not ours") << "<Idle|MPos:0,0,0,7|WCO:1,2,3,4>" << "Status"
                                                            << "M:0,0,0" << "1000,2000,3000" << "-";
        QTest::newRow("an offset of two axes") << "<Idle|MPos:0,0,0|WCO:1,2>" << "Other" << "" << "" << "";
        QTest::newRow("an offset of no number") << "<Idle|MPos:0,0,0|WCO:1,x,2>" << "Other" << "" << "" << "";
        QTest::newRow("an override of no number") << "<Idle|MPos:0,0,0|Ov:100,1.5,100>" << "Other" << "" << "" << "";
        QTest::newRow("two overrides") << "<Idle|MPos:0,0,0|Ov:100,100>" << "Other" << "" << "" << "";
        QTest::newRow("negative override") << "<Idle|MPos:0,0,0|Ov:-10,100,100>" << "Other" << "" << "" << "";
        QTest::newRow("contact") << "[PRB:12.000,-3.004,-7.128:1]" << "Probe" << "12000,-3004,-7128" << "" << "1";
        QTest::newRow("no contact") << "[PRB:0.000,0.000,-10.000:0]" << "Probe" << "0,0,-10000" << "" << "0";
        QTest::newRow("a flag that is none") << "[PRB:0.000,0.000,-10.000:2]" << "Other" << "" << "" << "";
        QTest::newRow("no flag") << "[PRB:0.000,0.000,-10.000]" << "Other" << "" << "" << "";
        QTest::newRow("two coordinates") << "[PRB:0.000,-10.000:1]" << "Other" << "" << "" << "";
        QTest::newRow("not closed") << "[PRB:0.000,0.000,-10.000:1" << "Other" << "" << "" << "";
        QTest::newRow("the offsets' listing") << "[G54:0.000,0.000,-3.000]" << "Other" << "" << "" << "";
    }
    void offsetsOverridesAndProbes() {
        QFETCH(QString, line);
        QFETCH(QString, kind);
        QFETCH(QString, position);
        QFETCH(QString, offset);
        QFETCH(QString, overrides);
        const auto text = [](const GrblTriple& t) { return QString("%1,%2,%3").arg(t.x).arg(t.y).arg(t.z); };
        const GrblReply r = grblReplyOf(line.toStdString());
        const QString got = r.kind == GrblReply::Kind::Status  ? "Status"
                            : r.kind == GrblReply::Kind::Probe ? "Probe"
                            : r.kind == GrblReply::Kind::Other ? "Other"
                                                               : "another";
        QCOMPARE(got, kind);
        if (kind == "Probe") {
            QCOMPARE(text(r.probe.at), position);
            QCOMPARE(r.probe.contact, overrides == "1");
        } else if (kind == "Status") {
            const GrblStatus& s = r.status;
            QCOMPARE(QString(s.workPosition ? "W:" : "M:") + text({s.x, s.y, s.z}), position);
            QCOMPARE(s.workOffset ? text(*s.workOffset) : QString("-"), offset);
            QCOMPARE(s.overrides ? QString("%1,%2,%3").arg(s.overrides->feed).arg(s.overrides->rapid).arg(
                                       s.overrides->spindle)
                                 : QString("-"),
                     overrides);
        }
    }

    void noiseWithoutLineEndsCannotGrowWithoutEnd() {
        GrblReplies replies;
        const std::string noise(100000, 'x');
        QVERIFY(replies.add(noise).empty());
        const std::vector<GrblReply> after = replies.add("\nok\n");
        QCOMPARE(after.size(), std::size_t(2));
        QCOMPARE(after[0].line.size(), std::size_t(256));
        QCOMPARE(after[1].kind, GrblReply::Kind::Ok);
    }

    void thousandths_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("value");
        QTest::addColumn<bool>("ok");
        QTest::newRow("three decimals") << "1.500" << 1500LL << true;
        QTest::newRow("negative") << "-0.001" << -1LL << true;
        QTest::newRow("plus") << "+2" << 2000LL << true;
        QTest::newRow("no whole part") << ".5" << 500LL << true;
        QTest::newRow("no fraction after the point") << "5." << 5000LL << true;
        QTest::newRow("negative zero") << "-0.000" << 0LL << true;
        QTest::newRow("a metre") << "-1000.000" << -1000000LL << true;
        QTest::newRow("four decimals") << "1.2345" << 0LL << false;
        QTest::newRow("empty") << "" << 0LL << false;
        QTest::newRow("sign alone") << "-" << 0LL << false;
        QTest::newRow("point alone") << "." << 0LL << false;
        QTest::newRow("letters") << "1.2a" << 0LL << false;
        QTest::newRow("two signs") << "--1" << 0LL << false;
    }
    void thousandths() {
        QFETCH(QString, text);
        QFETCH(qlonglong, value);
        QFETCH(bool, ok);
        const std::optional<std::int64_t> v = thousandthsOf(text.toStdString());
        QCOMPARE(v.has_value(), ok);
        if (ok)
            QCOMPARE(*v, value);
    }

    // "field": which rate the line sets, in the order $11, $110-$112, $120-$122; -1: none.
    void rates_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("field");
        QTest::addColumn<double>("value");
        QTest::newRow("junction deviation") << "$11=0.010" << 0 << 0.01;
        QTest::newRow("every corner a standstill") << "$11=0" << 0 << 0.0;
        QTest::newRow("X rate") << "$110=500.000" << 1 << 500.0;
        QTest::newRow("Y rate, a fraction") << "$111=1234.5" << 2 << 1234.5;
        QTest::newRow("Z rate, no point") << "$112=80" << 3 << 80.0;
        QTest::newRow("X acceleration") << "$120=10.000" << 4 << 10.0;
        QTest::newRow("Z acceleration, below one") << "$122=.25" << 6 << 0.25;
        QTest::newRow("another setting") << "$1=25" << -1 << 0.0;
        QTest::newRow("the arc tolerance beside $11") << "$12=0.002" << -1 << 0.0;
        QTest::newRow("a fourth axis") << "$113=500.000" << -1 << 0.0;
        QTest::newRow("the travel") << "$130=200.000" << -1 << 0.0;
        QTest::newRow("no number") << "$110=abc" << -1 << 0.0;
        QTest::newRow("no value") << "$110=" << -1 << 0.0;
        QTest::newRow("junk after the number") << "$110=500.000x" << -1 << 0.0;
        QTest::newRow("negative rate") << "$110=-500.000" << -1 << 0.0;
        QTest::newRow("negative deviation") << "$11=-0.010" << -1 << 0.0;
        QTest::newRow("a rate of nothing") << "$111=0.000" << -1 << 0.0;
        QTest::newRow("no acceleration") << "$121=0" << -1 << 0.0;
        QTest::newRow("an exponent") << "$110=5e2" << -1 << 0.0;
        QTest::newRow("infinite") << "$120=inf" << -1 << 0.0;
        QTest::newRow("not a number") << "$120=nan" << -1 << 0.0;
        QTest::newRow("no setting's number") << "$=500" << -1 << 0.0;
        QTest::newRow("a startup line") << "$N0=" << -1 << 0.0;
        QTest::newRow("without the dollar") << "110=500" << -1 << 0.0;
        QTest::newRow("a space in it") << "$110= 500" << -1 << 0.0;
        QTest::newRow("a message") << "[MSG:'$H'|'$X' to unlock]" << -1 << 0.0;
        QTest::newRow("empty") << "" << -1 << 0.0;
    }
    void rates() {
        QFETCH(QString, line);
        QFETCH(int, field);
        QFETCH(double, value);
        const auto fields = [](const MachineRates& r) {
            return std::array<double, 7>{r.junctionDeviation, r.maxRate[0],      r.maxRate[1],
                                         r.maxRate[2],        r.acceleration[0], r.acceleration[1],
                                         r.acceleration[2]};
        };
        // Every field apart from the others, so that one set in another's place shows.
        MachineRates rates{{501, 502, 503}, {11, 12, 13}, 0.5};
        std::array<double, 7> expected = fields(rates);
        const std::optional<int> setting = readGrblRate(line.toStdString(), rates);
        QCOMPARE(setting.has_value(), field >= 0);
        if (field >= 0) {
            QCOMPARE(*setting, line.mid(1, line.indexOf('=') - 1).toInt());
            expected[static_cast<std::size_t>(field)] = value;
        }
        QCOMPARE(fields(rates), expected);
    }

    void theCounterFillsTheBufferExactlyAndFreesInOrder() {
        CharacterCounter counter;
        QVERIFY(counter.fits(128));
        QVERIFY(!counter.fits(129));
        counter.sent(100);
        counter.sent(28);
        QVERIFY(!counter.fits(1)); // full to the byte, never over
        QVERIFY(counter.answered()); // the oldest line's bytes go first
        QCOMPARE(counter.bytes(), std::size_t(28));
        QVERIFY(counter.fits(100));
        QVERIFY(!counter.fits(101));
        QVERIFY(counter.answered());
        QVERIFY(!counter.answered()); // an answer nobody asked for frees nothing
        QCOMPARE(counter.bytes(), std::size_t(0));
    }

    // A contour that runs out along a one-pixel spur and back: the same places twice.
    void theEarliestSegmentThatHoldsThePositionIsTaken() {
        const std::int64_t px = 1500 * mm / 1000; // 1.5 mm
        std::deque<PathSegment> path{segment({0, 0, 0}, {px, 0, 0}), segment({px, 0, 0}, {2 * px, 0, 0}),
                                     segment({2 * px, 0, 0}, {px, 0, 0}), segment({px, 0, 0}, {px, px, 0})};
        const std::int64_t tolerance = px / 4;
        // On the way out and on the way back: the way out, so that nothing is left uncut.
        QCOMPARE(segmentHolding(path, {px + px / 2, 0, 0}, tolerance), std::optional<std::size_t>(1));
        QCOMPARE(segmentHolding(path, {px + px / 2, 0, 0}, tolerance, 2), std::optional<std::size_t>(2));
        // A segment's end is the next one's start: the earlier one holds it.
        QCOMPARE(segmentHolding(path, {px, 0, 0}, tolerance), std::optional<std::size_t>(0));
        // Within the tolerance across the path; beyond it, on none.
        QCOMPARE(segmentHolding(path, {px / 2, tolerance, 0}, tolerance), std::optional<std::size_t>(0));
        QCOMPARE(segmentHolding(path, {px / 2, tolerance + 1, 0}, tolerance), std::nullopt);
        // Depth counts as much as the plane: the same place, a pixel deeper, is off the path.
        QCOMPARE(segmentHolding(path, {px / 2, 0, -px}, tolerance), std::nullopt);
        // Beyond the ends of a segment: not on it.
        QCOMPARE(segmentHolding(path, {-px / 2, 0, 0}, tolerance), std::nullopt);
        QCOMPARE(segmentHolding({}, {0, 0, 0}, tolerance), std::nullopt);
    }

    void aSegmentOfNoLengthHoldsOnlyItsPlace() {
        std::deque<PathSegment> path{segment({5 * mm, 5 * mm, 0}, {5 * mm, 5 * mm, 0})};
        QCOMPARE(segmentHolding(path, {5 * mm, 5 * mm, 0}, 1000), std::optional<std::size_t>(0));
        QCOMPARE(segmentHolding(path, {5 * mm + 1001, 5 * mm, 0}, 1000), std::nullopt);
    }

    void farPositionsStayExact() {
        // A metre away, a micrometre off the line still tells.
        const std::int64_t metre = 1000 * mm;
        std::deque<PathSegment> path{segment({metre, metre, -metre}, {metre + 3 * mm, metre, -metre})};
        const std::int64_t micrometre = mm / 1000;
        QCOMPARE(segmentHolding(path, {metre + mm, metre + micrometre, -metre}, micrometre),
                 std::optional<std::size_t>(0));
        QCOMPARE(segmentHolding(path, {metre + mm, metre + 2 * micrometre, -metre}, micrometre), std::nullopt);
        QVERIFY(samePlace({metre, 0, 0}, {metre + 5, -5, 5}, 5));
        QVERIFY(!samePlace({metre, 0, 0}, {metre + 6, 0, 0}, 5));
        QVERIFY(samePlace({INT64_MIN / 2, 0, 0}, {INT64_MIN / 2, 0, 0}, 0));
    }
};

QTEST_APPLESS_MAIN(GrblProtocolTest)
#include "test_grbl_protocol.moc"
