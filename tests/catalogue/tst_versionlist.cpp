// SPDX-License-Identifier: GPL-3.0-or-later
#include "plaintext.h"
#include "versionlist.h"

#include <QTest>

Q_DECLARE_METATYPE(VersionEntry)

namespace {

const QByteArray sha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

QByteArray withVersions(const QByteArray &versions)
{
    return R"({"schema": 1, "versions": )" + versions + "}";
}

QByteArray withSchema(const QByteArray &schema)
{
    return R"({"schema": )" + schema + R"(, "versions": [{"title": "T", "image": "t.img"}]})";
}

// A document whose only fault (if any) is in its single entry.
QByteArray withEntry(const QByteArray &entry)
{
    return withVersions("[" + entry + "]");
}

} // namespace

class TestVersionList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesDocument_data();
    void parsesDocument();
    void imageNames_data();
    void imageNames();
    void plainTexts_data();
    void plainTexts();
};

void TestVersionList::parsesDocument_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("error");                // empty: the document is accepted
    QTest::addColumn<QList<VersionEntry>>("versions"); // the accepted entries

    const QList<VersionEntry> plainT{{"T", "t.img", "", ""}};

    // Accepted documents.
    QTest::newRow("minimal entry") << withEntry(R"({"title": "Tobra 1", "image": "tobra-1.img"})")
                                   << QString() << QList<VersionEntry>{{"Tobra 1", "tobra-1.img", "", ""}};
    QTest::newRow("trimmed, lower-cased, unknown keys ignored, order kept")
        << QByteArray(R"({"comment": "x", "schema": 1, "versions": [
               {"title": " Tobra 2 ", "image": " t2.img\t", "kickstart": " 3.1 ", "extra": [1],
                "sha256": " )" +
                      sha.toUpper() + R"( "},
               {"title": "Tobra 1", "image": "t1.img", "kickstart": "", "sha256": ""}]})")
        << QString() << QList<VersionEntry>{{"Tobra 2", "t2.img", "3.1", sha}, {"Tobra 1", "t1.img", "", ""}};
    QTest::newRow("null, numeric and empty checksum mean none")
        << withVersions(R"([{"title": "A", "image": "a", "sha256": null},
                            {"title": "B", "image": "b", "sha256": 5},
                            {"title": "C", "image": "c", "sha256": "  "}])")
        << QString() << QList<VersionEntry>{{"A", "a", "", ""}, {"B", "b", "", ""}, {"C", "c", "", ""}};
    QTest::newRow("non-string kickstart reads empty")
        << withEntry(R"({"title": "T", "image": "t.img", "kickstart": 3.1})") << QString() << plainT;
    QTest::newRow("schema 1.0") << withSchema("1.0") << QString() << plainT;
    VersionEntry sized{"T", "t.img", "", ""};
    sized.imageSize = 1073741824;
    QTest::newRow("image size given")
        << withEntry(R"({"title": "T", "image": "t.img", "image_size": 1073741824})") << QString()
        << QList<VersionEntry>{sized};
    QTest::newRow("image size null") << withEntry(R"({"title": "T", "image": "t.img", "image_size": null})")
                                     << QString() << plainT;
    QTest::newRow("controls and bidi overrides leave titles")
        << withEntry(R"({"title": "\u001b]0;x\u0007Tobra\u001b[2J 5\u202e\u009b", "image": "t.img",)"
                     R"( "kickstart": "3.1\r\u2066"})")
        << QString() << QList<VersionEntry>{{"]0;xTobra[2J 5", "t.img", "3.1", ""}};
    QTest::newRow("a title of controls only is missing")
        << withEntry(R"({"title": "\u001b\u009b\u202e", "image": "t.img"})") << "Eintrag 1: Titel fehlt"
        << QList<VersionEntry>();

    // The document as a whole.
    QTest::newRow("empty bytes") << QByteArray() << "tobra.json ist kein gültiges JSON: illegal value"
                                 << QList<VersionEntry>();
    QTest::newRow("truncated") << QByteArray(R"({"schema": 1, "versions": [)")
                               << "tobra.json ist kein gültiges JSON: unterminated array"
                               << QList<VersionEntry>();
    QTest::newRow("trailing garbage")
        << withSchema("1") + "x"
        << "tobra.json ist kein gültiges JSON: garbage at the end of the document" << QList<VersionEntry>();
    QTest::newRow("top-level array of valid entries")
        << QByteArray(R"([{"schema": 1, "versions": [{"title": "T", "image": "t.img"}]}])")
        << "tobra.json hat ein unerwartetes Format" << QList<VersionEntry>();

    // The schema number.
    const QString noSchema = "In der tobra.json fehlt die Schema-Version";
    for (const char *schema : {"0", "-1", "1.5", "\"1\"", "null", "true", "4294967297"})
        QTest::addRow("schema %s", schema) << withSchema(schema) << noSchema << QList<VersionEntry>();
    QTest::newRow("schema missing") << QByteArray(R"({"versions": [{"title": "T", "image": "t.img"}]})")
                                    << noSchema << QList<VersionEntry>();
    QTest::newRow("schema 2") << withSchema("2")
                              << "Die tobra.json braucht eine neuere Version des Installers (Schema 2)"
                              << QList<VersionEntry>();
    QTest::newRow("schema 1000 checked before versions")
        << QByteArray(R"({"schema": 1000})")
        << "Die tobra.json braucht eine neuere Version des Installers (Schema 1000)" << QList<VersionEntry>();

    // The list of versions.
    const QString noList = "In der tobra.json fehlt die Liste \"versions\"";
    QTest::newRow("versions missing") << QByteArray(R"({"schema": 1})") << noList << QList<VersionEntry>();
    for (const char *versions : {"{}", "\"a\"", "null"})
        QTest::addRow("versions %s", versions) << withVersions(versions) << noList << QList<VersionEntry>();
    QTest::newRow("versions empty") << withVersions("[]") << "Die tobra.json enthält noch keine Versionen"
                                    << QList<VersionEntry>();

    // Entries: the first fault names its entry; later ones are not looked at.
    QTest::newRow("entry 2 not an object")
        << withVersions(R"([{"title": "T", "image": "t"}, "x", 5])")
        << "Eintrag 2 in der tobra.json ist ungültig" << QList<VersionEntry>();
    QTest::newRow("second of three without title")
        << withVersions(R"([{"title": "A", "image": "a"}, {"title": "", "image": "b"}, {"image": "/"}])")
        << "Eintrag 2: Titel fehlt" << QList<VersionEntry>();
    QTest::newRow("title of blanks") << withEntry(R"({"title": "  \t", "image": "t.img"})")
                                     << "Eintrag 1: Titel fehlt" << QList<VersionEntry>();
    QTest::newRow("numeric title") << withEntry(R"({"title": 7, "image": "t.img"})")
                                   << "Eintrag 1: Titel fehlt" << QList<VersionEntry>();
    QTest::newRow("entry 12 counted in decimal")
        << withVersions("[" + QByteArray(R"({"title": "T", "image": "t"},)").repeated(11) + "{}]")
        << "Eintrag 12: Titel fehlt" << QList<VersionEntry>();
    const QString badImage = "Eintrag 1 (Tobra 3): ungültiger Image-Name";
    QTest::newRow("image with slash")
        << withEntry(R"({"title": " Tobra 3 ", "image": "../t.img"})") << badImage << QList<VersionEntry>();
    QTest::newRow("numeric image") << withEntry(R"({"title": "Tobra 3", "image": 12})") << badImage
                                   << QList<VersionEntry>();
    QTest::newRow("image missing") << withEntry(R"({"title": "Tobra 3"})") << badImage
                                   << QList<VersionEntry>();
    const QString badSum = "Eintrag 1 (Tobra 4): ungültige SHA-256-Prüfsumme";
    for (const QByteArray &sum : {sha.left(63), sha + "0", sha.left(63) + "g"})
        QTest::addRow("checksum %s", sum.constData())
            << withEntry(R"({"title": "Tobra 4", "image": "t", "sha256": ")" + sum + "\"}") << badSum
            << QList<VersionEntry>();
    const QString badSize = "Eintrag 1 (Tobra 5): ungültige Image-Größe";
    for (const char *size : {"0", "-1", "1.5", "\"1024\"", "true", "9007199254740993e3", "[]"})
        QTest::addRow("image size %s", size)
            << withEntry(QByteArray(R"({"title": "Tobra 5", "image": "t", "image_size": )") + size + "}")
            << badSize << QList<VersionEntry>();
}

// Accepted or rejected as a whole: the destination that does not apply keeps its content.
void TestVersionList::parsesDocument()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    QFETCH(QList<VersionEntry>, versions);

    const VersionList before{7, {{"alt", "alt.img", "", ""}}};
    VersionList list = before;
    QString message = "unberührt";
    const bool ok = parseVersionList(document, &list, &message);

    QCOMPARE(ok, error.isEmpty());
    QCOMPARE(parseVersionList(document), ok);
    if (ok) {
        QCOMPARE(message, QString("unberührt"));
        QCOMPARE(list.schema, 1);
        QCOMPARE(list.versions, versions);
    } else {
        QCOMPARE(message, error);
        QCOMPARE(list.schema, before.schema);
        QCOMPARE(list.versions, before.versions);
    }
}

// What leaves outside text before a terminal or a line of the window shows it: C0 and C1
// controls, DEL, and the bidi embeddings, overrides, isolates and marks; what the caller keeps stays.
void TestVersionList::plainTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("plain");
    QTest::newRow("plain German") << "Größe: 16,8 MB – „fertig“ ✓"
                                  << ""
                                  << "Größe: 16,8 MB – „fertig“ ✓";
    QTest::newRow("terminal title") << "\x1b]0;gehackt\x07Tobra"
                                    << ""
                                    << "]0;gehacktTobra";
    QTest::newRow("clear screen, hide text") << "A\x1b[2J\x1b[8mB"
                                             << ""
                                             << "A[2J[8mB";
    QTest::newRow("C1 CSI, DEL, NUL") << QString("a") + QChar(0x9b) + "31m" + QChar(0x7f) + QChar(0) + "b"
                                      << ""
                                      << "a31mb";
    QTest::newRow("line breaks and tabs") << "a\r\nb\tc\vd\fe"
                                          << ""
                                          << "abcde";
    QTest::newRow("line breaks and tabs kept") << "a\r\nb\tc"
                                               << "\n\t"
                                               << "a\nb\tc";
    QTest::newRow("bidi override") << QString("abc") + QChar(0x202e) + "gpj.exe" + QChar(0x202c) << ""
                                   << "abcgpj.exe";
    QTest::newRow("bidi isolates and marks")
        << QString(QChar(0x2066)) + "x" + QChar(0x2067) + QChar(0x2068) + "y" + QChar(0x2069) +
               QChar(0x200e) + QChar(0x200f) + QChar(0x061c) + "z"
        << ""
        << "xyz";
    QTest::newRow("non-breaking space and U+00A0 upward stay") << QString("a") + QChar(0xa0) + "b"
                                                               << "" << QString("a") + QChar(0xa0) + "b";
}

void TestVersionList::plainTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, kept);
    QFETCH(QString, plain);
    QCOMPARE(withoutControls(text, kept), plain);
}

void TestVersionList::imageNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("one letter") << "a" << true;
    QTest::newRow("one digit") << "7" << true;
    QTest::newRow("128 characters") << "A" + QString(127, '-') << true;
    QTest::newRow("dots in a row") << "a..img" << true;
    QTest::newRow("all allowed") << "Tobra_3.1-rc2.img" << true;
    QTest::newRow("129 characters") << "A" + QString(128, 'b') << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("leading hyphen") << "-a" << false;
    QTest::newRow("leading dot") << ".a" << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("leading underscore") << "_a" << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("blank") << "a b" << false;
    QTest::newRow("trailing newline") << "a\n" << false;
    QTest::newRow("percent") << "a%2e" << false;
    QTest::newRow("non-ASCII letter") << "tobraä.img" << false;
    QTest::newRow("non-ASCII digit") << "a\u0663" << false;
}

void TestVersionList::imageNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(isValidImageName(name), valid);
}

QTEST_GUILESS_MAIN(TestVersionList)
#include "tst_versionlist.moc"
