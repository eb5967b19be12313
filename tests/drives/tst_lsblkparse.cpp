// SPDX-License-Identifier: GPL-3.0-or-later
#include "drives.h"
#include "testfiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

// The parsing and candidate rules on lsblk documents of both forms: old lsblk prints numbers and
// flags as strings, new lsblk as JSON numbers and booleans.
class TestLsblkParse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void candidateRules_data();
    void candidateRules();
    void labels_data();
    void labels();
    void fileSystemLabels_data();
    void fileSystemLabels();
    void unreadableOutput_data();
    void unreadableOutput();
    void noDisksLeavesErrorUntouched();
    void keepsLsblkOrder();
    void sanitize_data();
    void sanitize();
    void jsonFlagForms_data();
    void jsonFlagForms();
    void systemMountpoints_data();
    void systemMountpoints();
    void cleanDeviceTexts_data();
    void cleanDeviceTexts();
    void collectsMountpointsDepthFirst();
};

namespace {

constexpr char newStick[] =
    R"("name":"sdb","path":"/dev/sdb","size":15931539456,"type":"disk","rm":true,)"
    R"("hotplug":true,"tran":"usb","model":"STORAGE DEVICE","vendor":"Generic","ro":false)";
constexpr char oldStick[] =
    R"("name":"sdb","path":"/dev/sdb","size":"15931539456","type":"disk","rm":"1",)"
    R"("hotplug":"1","tran":"usb","model":"STORAGE DEVICE","vendor":"Generic","ro":"0")";
// An internal disk: none of the removable signs.
constexpr char sataDisk[] =
    R"("path":"/dev/sdx","size":500107862016,"type":"disk","rm":false,"hotplug":false,)"
    R"("tran":"sata","ro":false)";

QByteArray lsblkDocument(const QByteArray &devices)
{
    return R"({"blockdevices":[)" + devices + "]}";
}

QByteArray device(const QByteArray &fields)
{
    return "{" + fields + "}";
}

// A stick whose fields are replaced or added by the given ones (later keys win in Qt's parser).
QByteArray stickWith(const char *base, const QByteArray &extra)
{
    return device(QByteArray(base) + "," + extra);
}

QByteArray withChild(const char *base, const QByteArray &childMounts)
{
    return stickWith(base, R"("children":[{"name":"sdb1","type":"part",)" + childMounts + "}]");
}

} // namespace

void TestLsblkParse::candidateRules_data()
{
    QTest::addColumn<QByteArray>("deviceJson");
    QTest::addColumn<bool>("offered");

    for (const char *form : {newStick, oldStick}) {
        const QByteArray tag = form == newStick ? "new-" : "old-";
        QTest::newRow(tag + "usb-stick") << device(form) << true;
        QTest::newRow(tag + "partition") << stickWith(form, R"("type":"part")") << false;
        QTest::newRow(tag + "loop") << stickWith(form, R"("type":"loop")") << false;
        QTest::newRow(tag + "type-upper-case") << stickWith(form, R"("type":"Disk")") << false;
        QTest::newRow(tag + "ro-missing")
            << device(QByteArray(form).replace(R"(,"ro":false)", "").replace(R"(,"ro":"0")", "")) << true;
        QTest::newRow(tag + "size-min") << stickWith(form, R"("size":1048576)") << true;
        QTest::newRow(tag + "size-max") << stickWith(form, R"("size":"2199023255552")") << true;
        QTest::newRow(tag + "size-below-min") << stickWith(form, R"("size":"1048575")") << false;
        QTest::newRow(tag + "size-above-max") << stickWith(form, R"("size":2199023255553)") << false;
        QTest::newRow(tag + "child-under-media")
            << withChild(form, R"("mountpoints":["/media/u/BOOT"])") << true;
        QTest::newRow(tag + "child-root") << withChild(form, R"("mountpoints":[null,"/"])") << false;
        QTest::newRow(tag + "child-swap-old") << withChild(form, R"("mountpoint":"[SWAP]")") << false;
        QTest::newRow(tag + "child-boot-efi") << withChild(form, R"("mountpoints":["/boot/efi"])") << false;
        QTest::newRow(tag + "disk-home") << stickWith(form, R"("mountpoints":["/home"])") << false;
    }
    QTest::newRow("ro-true") << stickWith(newStick, R"("ro":true)") << false;
    QTest::newRow("ro-number-1") << stickWith(newStick, R"("ro":1)") << false;
    QTest::newRow("ro-string-1") << stickWith(newStick, R"("ro":"1")") << false;
    QTest::newRow("size-negative") << stickWith(newStick, R"("size":-1)") << false;
    QTest::newRow("size-missing") << device(QByteArray(newStick).replace(R"("size":15931539456,)", ""))
                                  << false;
    QTest::newRow("size-unparsable") << stickWith(newStick, R"("size":"16G")") << false;
    QTest::newRow("size-huge-number") << stickWith(newStick, R"("size":1e30)") << false;
    QTest::newRow("size-fraction-truncated") << stickWith(newStick, R"("size":1048576.9)") << true;
    QTest::newRow("size-fraction-below-min") << stickWith(newStick, R"("size":1048575.9)") << false;
    QTest::newRow("sata-sda") << device(QByteArray(sataDisk) + R"(,"name":"sda")") << false;
    QTest::newRow("sata-flags-as-strings")
        << device(R"("name":"sda","size":"500107862016","type":"disk","rm":"0","hotplug":"0","tran":"sata")")
        << false;
    // mmcblk0 is an SD card in a built-in reader, mmcblk1 an eMMC, mmcblk2 has no type.
    QTest::newRow("internal-sd-card") << device(QByteArray(sataDisk) + R"(,"name":"mmcblk0")") << true;
    QTest::newRow("internal-emmc") << device(QByteArray(sataDisk) + R"(,"name":"mmcblk1")") << false;
    QTest::newRow("mmc-without-type") << device(QByteArray(sataDisk) + R"(,"name":"mmcblk2")") << false;
    QTest::newRow("mmc-name-leaves-sysfs")
        << device(QByteArray(sataDisk) + R"(,"name":"mmcblk0/../mmcblk0")") << false;
    QTest::newRow("emmc-in-usb-reader")
        << device(QByteArray(sataDisk) + R"(,"name":"mmcblk1","tran":"usb")") << true;
    QTest::newRow("sata-name-MMCBLK0") << device(QByteArray(sataDisk) + R"(,"name":"MMCBLK0")") << false;
    QTest::newRow("tran-usb") << device(QByteArray(sataDisk) + R"(,"name":"sda","tran":"usb")") << true;
    QTest::newRow("tran-USB") << device(QByteArray(sataDisk) + R"(,"name":"sda","tran":"USB")") << false;
    QTest::newRow("hotplug-only") << device(QByteArray(sataDisk) + R"(,"name":"sda","hotplug":true)") << true;
    QTest::newRow("rm-only-string") << device(QByteArray(sataDisk) + R"(,"name":"sda","rm":"1")") << true;
    QTest::newRow("not-an-object") << QByteArray(R"("sdb")") << false;
}

void TestLsblkParse::candidateRules()
{
    QFETCH(QByteArray, deviceJson);
    QFETCH(bool, offered);
    QTemporaryDir sysfs;
    QVERIFY(QDir(sysfs.path()).mkpath("block/mmcblk0/device") &&
            QDir(sysfs.path()).mkpath("block/mmcblk1/device"));
    QVERIFY(writeFile(sysfs.filePath("block/mmcblk0/device/type"), "SD\n"));
    QVERIFY(writeFile(sysfs.filePath("block/mmcblk1/device/type"), "MMC\n"));
    QString error = "untouched";
    const QList<DriveInfo> drives = parseLsblkOutput(lsblkDocument(deviceJson), &error, sysfs.path());
    QCOMPARE(drives.size(), offered ? 1 : 0);
    QCOMPARE(error, QString("untouched"));
}

void TestLsblkParse::labels_data()
{
    QTest::addColumn<QByteArray>("deviceJson");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("label");
    QTest::addColumn<qint64>("sizeBytes");

    const QString stick = "Generic STORAGE DEVICE (15,9 GB) – /dev/sdb";
    QTest::newRow("new-form") << device(newStick) << "/dev/sdb" << stick << Q_INT64_C(15931539456);
    QTest::newRow("old-form") << device(oldStick) << "/dev/sdb" << stick << Q_INT64_C(15931539456);
    QTest::newRow("path-missing") << device(QByteArray(newStick).replace(R"("path":"/dev/sdb",)", ""))
                                  << "/dev/sdb" << stick << Q_INT64_C(15931539456);
    QTest::newRow("path-empty") << stickWith(newStick, R"("path":"","name":"mmcblk0")") << "/dev/mmcblk0"
                                << "Generic STORAGE DEVICE (15,9 GB) – /dev/mmcblk0"
                                << Q_INT64_C(15931539456);
    QTest::newRow("vendor-model-null")
        << stickWith(newStick, R"("vendor":null,"model":null,"size":1048576)") << "/dev/sdb"
        << "Speicherkarte / USB-Laufwerk (1,0 MB) – /dev/sdb" << Q_INT64_C(1048576);
    QTest::newRow("below-a-gigabyte")
        << stickWith(newStick, R"("size":134217728)") << "/dev/sdb"
        << "Generic STORAGE DEVICE (134,2 MB) – /dev/sdb" << Q_INT64_C(134217728);
    QTest::newRow("blank-model") << stickWith(newStick, R"("vendor":"  Generic ","model":"   ")")
                                 << "/dev/sdb"
                                 << "Generic (15,9 GB) – /dev/sdb" << Q_INT64_C(15931539456);
    QTest::newRow("vendor-only-blanks") << stickWith(newStick, R"("vendor":" \t ")") << "/dev/sdb"
                                        << "STORAGE DEVICE (15,9 GB) – /dev/sdb" << Q_INT64_C(15931539456);
    QTest::newRow("round-to-tenth") << stickWith(newStick, R"("size":31914983424)") << "/dev/sdb"
                                    << "Generic STORAGE DEVICE (31,9 GB) – /dev/sdb"
                                    << Q_INT64_C(31914983424);
    QTest::newRow("round-up") << stickWith(newStick, R"("size":"7969177600")") << "/dev/sdb"
                              << "Generic STORAGE DEVICE (8,0 GB) – /dev/sdb" << Q_INT64_C(7969177600);
    QTest::newRow("hex-escape-repaired") << stickWith(newStick, R"("model":"\x41BC")") << "/dev/sdb"
                                         << "Generic ABC (15,9 GB) – /dev/sdb" << Q_INT64_C(15931539456);
    QTest::newRow("lone-ff-dropped") << stickWith(newStick, "\"model\":\"X\xFFY\"") << "/dev/sdb"
                                     << "Generic XY (15,9 GB) – /dev/sdb" << Q_INT64_C(15931539456);
    QTest::newRow("percent-in-model") << stickWith(newStick, R"("model":"%2 %1")") << "/dev/sdb"
                                      << "Generic %2 %1 (15,9 GB) – /dev/sdb" << Q_INT64_C(15931539456);
    const QByteArray longModel(80, 'M');
    QTest::newRow("model-cut-to-64") << stickWith(newStick, R"("vendor":null,"model":")" + longModel + "\"")
                                     << "/dev/sdb" << QString(64, 'M') + " (15,9 GB) – /dev/sdb"
                                     << Q_INT64_C(15931539456);
}

void TestLsblkParse::labels()
{
    QFETCH(QByteArray, deviceJson);
    QFETCH(QString, path);
    QFETCH(QString, label);
    QFETCH(qint64, sizeBytes);
    const QList<DriveInfo> drives = parseLsblkOutput(lsblkDocument(deviceJson));
    QCOMPARE(drives.size(), 1);
    QCOMPARE(drives[0].path, path);
    QCOMPARE(drives[0].label, label);
    QCOMPARE(drives[0].sizeBytes, sizeBytes);
}

void TestLsblkParse::fileSystemLabels_data()
{
    QTest::addColumn<QByteArray>("deviceJson");
    QTest::addColumn<QStringList>("labels");
    const auto stickWithFields = [](const QByteArray &fields) { return device(newStick + ("," + fields)); };
    QTest::newRow("none") << device(newStick) << QStringList();
    QTest::newRow("partitions") << stickWithFields(
                                       R"("children":[{"name":"sdb1","type":"part","label":"BOOT"},)"
                                       R"({"name":"sdb2","type":"part","label":null},)"
                                       R"({"name":"sdb3","type":"part","label":"FOTOS"}])")
                                << QStringList{"BOOT", "FOTOS"};
    QTest::newRow("whole disk, then a repeated one")
        << stickWithFields(R"("label":"KAMERA","children":[{"name":"sdb1","type":"part","label":"KAMERA"}])")
        << QStringList{"KAMERA"};
    QTest::newRow("cleaned") << stickWithFields(
                                    R"("children":[{"name":"sdb1","label":" A\u001b[2J\u202eB "}])")
                             << QStringList{"A[2JB"};
}

// The labels a user knows the card by, from the disk and its partitions.
void TestLsblkParse::fileSystemLabels()
{
    QFETCH(QByteArray, deviceJson);
    QFETCH(QStringList, labels);
    const QList<DriveInfo> drives = parseLsblkOutput(lsblkDocument(deviceJson));
    QCOMPARE(drives.size(), 1);
    QCOMPARE(drives[0].fileSystemLabels, labels);
}

void TestLsblkParse::unreadableOutput_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("array") << QByteArray(R"([{"blockdevices":[]}])");
    QTest::newRow("truncated") << QByteArray(R"({"blockdevices":[{"name":"sdb")");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("lsblk: unknown column");
}

void TestLsblkParse::unreadableOutput()
{
    QFETCH(QByteArray, output);
    QString error;
    QVERIFY(parseLsblkOutput(output, &error).isEmpty());
    QVERIFY2(error.startsWith("Die Ausgabe von lsblk konnte nicht gelesen werden (") && error.endsWith(")") &&
                 error.size() > 52,
             qPrintable(error));
}

void TestLsblkParse::noDisksLeavesErrorUntouched()
{
    for (const QByteArray &output :
         {QByteArray("{}"), QByteArray(R"({"blockdevices":{}})"), lsblkDocument(device(sataDisk))}) {
        QString error = "untouched";
        QVERIFY(parseLsblkOutput(output, &error).isEmpty());
        QCOMPARE(error, QString("untouched"));
    }
}

void TestLsblkParse::keepsLsblkOrder()
{
    const QByteArray devices = stickWith(newStick, R"("path":"/dev/sdc")") + "," + device(sataDisk) + "," +
                               device(newStick) + "," + stickWith(newStick, R"("path":"/dev/sdc")");
    const QList<DriveInfo> drives = parseLsblkOutput(lsblkDocument(devices));
    QCOMPARE(drives.size(), 3);
    QCOMPARE(drives[0].path, QString("/dev/sdc"));
    QCOMPARE(drives[1].path, QString("/dev/sdb"));
    QCOMPARE(drives[2].path, QString("/dev/sdc"));
}

void TestLsblkParse::sanitize_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("repaired");
    const QByteArray fffd("\xEF\xBF\xBD");

    QTest::newRow("ascii") << QByteArray(R"({"a":"b"})") << QByteArray(R"({"a":"b"})");
    QTest::newRow("two-byte") << QByteArray("\xC3\xA4") << QByteArray("\xC3\xA4");
    QTest::newRow("three-byte-e0") << QByteArray("\xE0\xA4\xB9") << QByteArray("\xE0\xA4\xB9");
    QTest::newRow("four-byte") << QByteArray("\xF0\x9F\x98\x80") << QByteArray("\xF0\x9F\x98\x80");
    QTest::newRow("f4-max") << QByteArray("\xF4\x8F\xBF\xBF") << QByteArray("\xF4\x8F\xBF\xBF");
    QTest::newRow("lone-ff") << QByteArray("a\xFFz") << "a" + fffd + "z";
    QTest::newRow("overlong-c0") << QByteArray("\xC0\x80") << fffd + fffd;
    QTest::newRow("overlong-e0") << QByteArray("\xE0\x80\x80") << fffd + fffd + fffd;
    QTest::newRow("surrogate-ed") << QByteArray("\xED\xA0\x80") << fffd + fffd + fffd;
    QTest::newRow("above-f4") << QByteArray("\xF4\x90\x80\x80") << fffd + fffd + fffd + fffd;
    QTest::newRow("f5") << QByteArray("\xF5") << fffd;
    QTest::newRow("bad-later-continuation") << QByteArray("\xE2\x82\x41") << fffd + fffd + "A";
    QTest::newRow("cut-off") << QByteArray("x\xE2\x82") << "x" + fffd + fffd;
    QTest::newRow("hex-escape") << QByteArray(R"(\x41\xfF)") << QByteArray(R"(\u0041\u00fF)");
    QTest::newRow("escaped-backslash") << QByteArray(R"(\\x41)") << QByteArray(R"(\\x41)");
    QTest::newRow("hex-escape-short") << QByteArray(R"(\x4)") << QByteArray(R"(\x4)");
    QTest::newRow("hex-escape-not-hex") << QByteArray(R"(\xG1)") << QByteArray(R"(\xG1)");
    QTest::newRow("backslash-last") << QByteArray("a\\") << QByteArray("a\\");
    QTest::newRow("backslash-control-pair") << QByteArray("\\\x01") << QByteArray("\\\x01");
    QTest::newRow("backslash-high-byte") << QByteArray("\\\xFF") << "\\" + fffd;
    QTest::newRow("control-bytes") << QByteArray("a\x01\x1F\x7F", 4) << QByteArray("a  \x7F");
    QTest::newRow("nul") << QByteArray("a\0b", 3) << QByteArray("a b");
    QTest::newRow("tab-newline-return") << QByteArray("\t\n\r") << QByteArray("\t\n\r");
}

void TestLsblkParse::sanitize()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, repaired);
    QCOMPARE(sanitizeLsblkBytes(raw), repaired);
}

void TestLsblkParse::jsonFlagForms_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("flag");
    const QList<QPair<const char *, bool>> rows = {
        {"true", true},      {"false", false}, {"1", true},           {"0", false},
        {"2", true},         {"-1", true},     {"\"1\"", true},       {"\"true\"", true},
        {"\"TRUE\"", false}, {"\"0\"", false}, {"\"false\"", false},  {"\"yes\"", false},
        {"null", false},     {"1.5", false},   {"4294967296", false}, {"[1]", false},
        {"{}", false}};
    for (const auto &[json, flag] : rows)
        QTest::newRow(json) << QByteArray(json) << flag;
}

void TestLsblkParse::jsonFlagForms()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, flag);
    const QJsonDocument document = QJsonDocument::fromJson(R"({"v":)" + json + "}");
    QVERIFY(document.isObject());
    QCOMPARE(jsonFlag(document.object().value("v")), flag);
    QVERIFY(!jsonFlag(document.object().value("missing")));
}

void TestLsblkParse::systemMountpoints_data()
{
    QTest::addColumn<QString>("mountpoint");
    QTest::addColumn<bool>("system");
    const QList<QPair<const char *, bool>> rows = {
        {"/", true},           {"[SWAP]", true},         {"/boot", true},      {"/boot/efi", true},
        {"/efi", true},        {"/usr/local", true},     {"/var/tmp/x", true}, {"/home", true},
        {"/home/anna", true},  {"/etc", true},           {"/opt/x", true},     {"/nix/store", true},
        {"/root", true},       {"/srv/data", true},      {"/rootfs", false},   {"/media/srv", false},
        {"/bootstrap", false}, {"/media/usr", false},    {"/Boot", false},     {"/varx", false},
        {"", false},           {"/media/u/BOOT", false}, {"/mnt", false},      {"[swap]", false}};
    for (const auto &[mountpoint, system] : rows)
        QTest::newRow(*mountpoint ? mountpoint : "empty") << QString(mountpoint) << system;
}

void TestLsblkParse::systemMountpoints()
{
    QFETCH(QString, mountpoint);
    QFETCH(bool, system);
    QCOMPARE(isSystemMountpoint(mountpoint), system);
}

void TestLsblkParse::cleanDeviceTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cleaned");
    QTest::newRow("plain") << "SanDisk"
                           << "SanDisk";
    QTest::newRow("blanks") << "  Mass   Storage \t"
                            << "Mass Storage";
    QTest::newRow("white-space-kinds") << QString("a\nb\vc\fd\re\u0085f\u00A0g") << "a b c d e f g";
    QTest::newRow("replacement-dropped") << QString("X\uFFFDY") << "XY";
    QTest::newRow("controls-dropped") << QString("A\u0001B\u007FC\u200ED") << "ABCD";
    QTest::newRow("surrogate-pair-dropped") << QString("A\U0001F600B") << "AB";
    QTest::newRow("umlaut-kept") << QString("Kärtchen") << QString("Kärtchen");
    QTest::newRow("cut-to-64") << QString(80, 'x') << QString(64, 'x');
    QTest::newRow("cut-then-trimmed") << QString(63, 'x') + "  yyyy" << QString(63, 'x');
    QTest::newRow("only-blanks") << "   "
                                 << "";
}

void TestLsblkParse::cleanDeviceTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, cleaned);
    QCOMPARE(cleanDeviceText(text), cleaned);
}

void TestLsblkParse::collectsMountpointsDepthFirst()
{
    const QJsonDocument document = QJsonDocument::fromJson(R"({
        "mountpoints": ["/a", null, ""], "mountpoint": "/b",
        "children": [{"mountpoints": ["/c"], "children": [{"mountpoint": "/d"}]},
                     {"mountpoints": [null]}, {"mountpoint": null, "mountpoints": ["/a"]}]})");
    QStringList mountpoints{"/kept"};
    collectMountpoints(document.object(), mountpoints);
    QCOMPARE(mountpoints, QStringList({"/kept", "/a", "/b", "/c", "/d", "/a"}));
}

QTEST_GUILESS_MAIN(TestLsblkParse)
#include "tst_lsblkparse.moc"
