// SPDX-License-Identifier: GPL-3.0-or-later
#include "translations.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <memory>

// Qt's own texts speak German once the translations are installed.
class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        if (!installQtGermanTranslations(*QCoreApplication::instance(), &error))
            QSKIP(qPrintable(error + " (Paket qt6-translations-l10n)"));
    }

    void lineEditContextMenu()
    {
        QLineEdit field(QStringLiteral("Text"));
        const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
        QStringList texts;
        for (const QAction *action : menu->actions())
            texts << action->text();
        QVERIFY2(texts.contains(QStringLiteral("&Kopieren\tStrg+C")), qPrintable(texts.join(" | ")));
    }

    void fileDialog()
    {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        auto *lookIn = dialog.findChild<QLabel *>(QStringLiteral("lookInLabel"));
        QVERIFY(lookIn);
        QCOMPARE(lookIn->text(), QStringLiteral("Suchen in:"));
    }

    void networkError()
    {
        QNetworkAccessManager network;
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:9/"))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        reply->abort();
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->errorString(), QStringLiteral("Operation abgebrochen"));
        delete reply;
    }
};

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
