#include "stream/readthread.h"
#include "support/readthreadaccess.h"

#include <QtTest>

// The tilt-sensor block and the angle computed from it, without a network: packets are
// built by hand around the block.

namespace {

const QByteArray Standard = QByteArray::fromHex("030302040305050404000001");

// Raw 12-bit reading of a signed value, as the camera sends it.
int raw12(int value)
{
    return value < 0 ? value + 4096 : value;
}

QByteArray le16(int value)
{
    QByteArray bytes(2, 0);
    bytes[0] = char(value & 0xff);
    bytes[1] = char((value >> 8) & 0xff);
    return bytes;
}

QByteArray type6(int x, int y, int z, const QByteArray &filler = QByteArray::fromHex("a1b2c3d4"))
{
    return le16(x << 4) + le16(y << 4) + le16(z << 4) + filler + QByteArray::fromHex("fe06");
}

QByteArray type1(int angle)
{
    return le16(angle) + QByteArray::fromHex("0000000000000000") + QByteArray::fromHex("fe01");
}

// A JPEG-like packet: a first DHT, then a second one whose bytes +8..+19 are `block`,
// then `tail`. The block starts at offset 40 + 8.
QByteArray framePacket(const QByteArray &block, const QByteArray &tail = QByteArray(64, '\x55'))
{
    QByteArray bytes = QByteArray::fromHex("ffd8ffdb0043");
    bytes += QByteArray(12, '\x11');
    bytes += QByteArray::fromHex("ffc4001f00000105"); // first DHT
    bytes += QByteArray(14, '\x22');
    bytes += QByteArray::fromHex("ffc400b5100002010303"); // second DHT, +0..+7 (+8,+9 follow)
    bytes.chop(2);
    bytes += block;
    bytes += tail;
    return bytes;
}

struct Packet
{
    av::PacketPtr packet{av_packet_alloc()};
    explicit Packet(const QByteArray &bytes)
    {
        if (!bytes.isEmpty()) {
            av_new_packet(packet.get(), bytes.size());
            memcpy(packet->data, bytes.constData(), size_t(bytes.size()));
        }
    }
    QByteArray bytes() const
    {
        return packet->data ? QByteArray(reinterpret_cast<const char *>(packet->data), packet->size) : QByteArray();
    }
};

const int Primed = 29; // the angle of readings (512, 0, 887), stored before each row

} // namespace

class tst_Orientation : public QObject
{
    Q_OBJECT

private slots:
    void calcDegree_data();
    void calcDegree();
    void toSigned12_data();
    void toSigned12();
    void packets_data();
    void packets();
    void sharedPacketRestoredPrivately();
    void lastDegreeSurvivesOtherPackets();

private:
    static int probeLastDegree(ReadThread &reader) { return reader.calcDegree(100, 900, 100); }
};

void tst_Orientation::calcDegree_data()
{
    QTest::addColumn<int>("xs");
    QTest::addColumn<int>("zs");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("expected"); // -1: the previous angle, unchanged
    QTest::newRow("first quadrant") << 100 << 100 << 0 << 44;
    QTest::newRow("x negative") << -100 << 100 << 0 << 316;
    QTest::newRow("z negative") << 100 << -100 << 0 << 136;
    QTest::newRow("both negative") << -100 << -100 << 0 << 224;
    QTest::newRow("x zero, z positive") << 0 << 100 << 0 << 360;
    QTest::newRow("x zero, z negative") << 0 << -100 << 0 << 180;
    QTest::newRow("z zero, x positive") << 100 << 0 << 0 << 91;
    QTest::newRow("z zero, x negative") << -100 << 0 << 0 << 269;
    QTest::newRow("512/887") << 512 << 887 << 0 << 29;
    QTest::newRow("887/512") << 887 << 512 << 0 << 60;
    QTest::newRow("x 2048 is positive") << 2048 << 1 << 0 << 89;
    QTest::newRow("x 2049 is -2047") << -2047 << 1 << 0 << 271;
    QTest::newRow("small negative x truncates to 360") << -1 << 2000 << 0 << 360;
    QTest::newRow("y 810 stored") << 100 << 100 << 810 << 44;
    QTest::newRow("y 811 dead") << 100 << 100 << 811 << -1;
    QTest::newRow("y 900 dead") << 100 << 100 << 900 << -1;
    QTest::newRow("y 1079 dead") << 100 << 100 << 1079 << -1;
    QTest::newRow("y 1080 stored") << 100 << 100 << 1080 << 44;
    QTest::newRow("y 2800 stored") << 100 << 100 << 2800 << 44;
    QTest::newRow("y 2801 dead") << 100 << 100 << 2801 << -1;
    QTest::newRow("y 3000 dead") << 100 << 100 << 3000 << -1;
    QTest::newRow("y 3199 dead") << 100 << 100 << 3199 << -1;
    QTest::newRow("y 3200 stored") << 100 << 100 << 3200 << 44;
    QTest::newRow("flat on both axes keeps the angle") << 0 << 0 << 5 << -1;
}

void tst_Orientation::calcDegree()
{
    QFETCH(int, xs);
    QFETCH(int, zs);
    QFETCH(int, y);
    QFETCH(int, expected);

    ReadThread reader;
    QCOMPARE(reader.calcDegree(512, 0, 887), Primed);
    const int result = reader.calcDegree(raw12(xs), y, raw12(zs));
    if (expected < 0) {
        QCOMPARE(result, Primed);
        QCOMPARE(probeLastDegree(reader), Primed);
    } else {
        QCOMPARE(result, expected);
        QCOMPARE(probeLastDegree(reader), expected);
    }
}

void tst_Orientation::toSigned12_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("value");
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("2047") << 2047 << 2047;
    QTest::newRow("2048 stays positive") << 2048 << 2048;
    QTest::newRow("2049") << 2049 << -2047;
    QTest::newRow("3996") << 3996 << -100;
    QTest::newRow("4095") << 4095 << -1;
}

void tst_Orientation::toSigned12()
{
    QFETCH(int, raw);
    QFETCH(int, value);
    QCOMPARE(ReadThread::toSigned12(raw), value);
}

void tst_Orientation::packets_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("degree");
    QTest::addColumn<bool>("haveDegree");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<int>("lastDegreeAfter");

    QTest::newRow("type 6 whole block") << framePacket(QByteArray::fromHex("400600004006") + QByteArray::fromHex("01020304fe06"))
                                        << 44 << false << true << 44;
    QTest::newRow("type 1 whole block") << framePacket(QByteArray::fromHex("2d00") + QByteArray(8, '\x77') + QByteArray::fromHex("fe01"))
                                        << 45 << true << true << Primed;
    QTest::newRow("type 1 angle 65535") << framePacket(type1(65535)) << 65535 << true << true << Primed;
    QTest::newRow("type 6 negative x") << framePacket(type6(raw12(-100), 0, 100)) << 316 << false << true << 316;
    QTest::newRow("type 6 all zero") << framePacket(type6(0, 0, 0)) << 0 << false << true << Primed;
    QTest::newRow("type 6 y 900") << framePacket(type6(100, 900, 100)) << Primed << false << true << Primed;
    QTest::newRow("type 6 y 2048") << framePacket(type6(100, 2048, 100)) << 44 << false << true << 44;
    QTest::newRow("type 6 x 2048") << framePacket(type6(2048, 0, 1)) << 89 << false << true << 89;
    QTest::newRow("type 6 x 2049") << framePacket(type6(2049, 0, 1)) << 271 << false << true << 271;
    QTest::newRow("tag with type 3") << framePacket(type1(45).left(11) + QByteArray::fromHex("03"))
                                     << 0 << false << false << Primed;
    QTest::newRow("no tag") << framePacket(QByteArray::fromHex("2d00") + QByteArray(8, '\0') + QByteArray::fromHex("fd01"))
                            << 0 << false << false << Primed;

    const QByteArray oneMarker = QByteArray::fromHex("ffd8ffc4001f") + QByteArray(40, '\x10') + type1(45);
    QTest::newRow("one marker") << oneMarker << 0 << false << false << Primed;

    // The second marker 19 bytes before the end: the block would end one byte past it.
    const QByteArray whole = framePacket(type1(45), QByteArray());
    QTest::newRow("block ends at the last byte") << whole << 45 << true << true << Primed;
    QTest::newRow("block one byte short") << whole.left(whole.size() - 1) << 0 << false << false << Primed;
    QTest::newRow("marker at the very end") << (QByteArray::fromHex("ffc40000ffc4")) << 0 << false << false << Primed;
    QTest::newRow("empty") << QByteArray() << 0 << false << false << Primed;
    QTest::newRow("one byte") << QByteArray::fromHex("ff") << 0 << false << false << Primed;

    // Later markers do not matter; only the second one holds the block.
    QByteArray third = framePacket(type1(45));
    third += QByteArray::fromHex("ffc4") + type6(100, 0, 100);
    QTest::newRow("third marker ignored") << third << 45 << true << true << Primed;
}

void tst_Orientation::packets()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, degree);
    QFETCH(bool, haveDegree);
    QFETCH(bool, restored);
    QFETCH(int, lastDegreeAfter);

    ReadThread reader;
    QCOMPARE(reader.calcDegree(512, 0, 887), Primed);
    ReadThreadTestAccess::setHaveDegree(reader, !haveDegree); // must be rewritten by every packet

    Packet input(packet);
    QCOMPARE(reader.getPacketDegree(input.packet.get()), degree);
    QCOMPARE(ReadThreadTestAccess::isHaveDegree(reader), haveDegree);
    QCOMPARE(ReadThreadTestAccess::lastDegree(reader), lastDegreeAfter);

    QByteArray expected = packet;
    if (restored) {
        const int origin = packet.indexOf(QByteArray::fromHex("ffc4"), packet.indexOf(QByteArray::fromHex("ffc4")) + 1);
        expected.replace(origin + 8, 12, Standard);
    }
    // Only the twelve block bytes change, and only when a block was read.
    QCOMPARE(input.bytes(), expected);
}

void tst_Orientation::sharedPacketRestoredPrivately()
{
    ReadThread reader;
    const QByteArray bytes = framePacket(type1(300));
    Packet original(bytes);
    av::PacketPtr shared(av_packet_clone(original.packet.get()));
    QVERIFY(shared);
    QCOMPARE(shared->data, original.packet->data);

    QCOMPARE(reader.getPacketDegree(shared.get()), 300);
    QVERIFY(shared->data != original.packet->data);
    QCOMPARE(original.bytes(), bytes); // the other holder of the buffer sees no change
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(shared->data) + 48, 12), Standard);
}

void tst_Orientation::lastDegreeSurvivesOtherPackets()
{
    ReadThread reader;
    QCOMPARE(reader.getDegree(0, 0, 0), 0);
    QCOMPARE(reader.getDegree(100, 900, 100), 0); // dead band before any angle: the start value
    QCOMPARE(reader.getDegree(raw12(-100), 0, raw12(-100)), 224);

    for (const QByteArray &bytes : {framePacket(type1(45)), framePacket(type6(0, 0, 0)), QByteArray("plain"),
                                    framePacket(type6(100, 3000, 100))}) {
        Packet packet(bytes);
        reader.getPacketDegree(packet.packet.get());
    }
    QCOMPARE(probeLastDegree(reader), 224);
}

QTEST_MAIN(tst_Orientation)
#include "tst_orientation.moc"
