// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared by the window tests: a fake lsblk on PATH, the widgets looked up by member name, and
// answering the modal dialogs the window opens.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

// Puts an lsblk of our own first on PATH; each call of answer() or fail() changes what it does.
class FakeLsblk
{
public:
    FakeLsblk()
    {
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + qgetenv("PATH"));
        answer(R"({"blockdevices": []})");
    }

    // lsblk prints json and exits 0.
    void answer(const QByteArray &json) { write("cat <<'END'\n" + json + "\nEND\n"); }
    // lsblk exits 1 without output, as when it cannot run at all.
    void fail() { write("exit 1\n"); }

private:
    void write(const QByteArray &body)
    {
        QFile script(dir.filePath(QStringLiteral("lsblk")));
        QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write("#!/bin/sh\n" + body);
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QTemporaryDir dir;
};

// The widget that the window holds under the member name.
template <typename Widget> Widget *member(QWidget &window, const char *name)
{
    auto *widget = window.findChild<Widget *>(QLatin1String(name));
    if (!widget)
        qWarning("no %s named %s", Widget::staticMetaObject.className(), name);
    return widget;
}

// The log's lines, without their time stamps (a line of a multi-line text has none).
inline QStringList logLines(QWidget &window)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "));
    QStringList lines = member<QPlainTextEdit>(window, "logView")->toPlainText().split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.remove(stamp);
    return lines;
}

// The texts of the combo box's items, in order.
inline QStringList itemTexts(QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// Runs handle on the next modal dialog of type Dialog as soon as it is open and ready (while the
// code under test waits in the dialog's event loop). A dialog that is not ready within 10 s is
// handled all the same, so the test fails on what it then finds instead of hanging.
template <typename Dialog>
void onNextDialog(
    std::function<void(Dialog *)> handle, std::function<bool(Dialog *)> ready = [](Dialog *) { return true; })
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, handle, ready, waited = QElapsedTimer()]() mutable {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        if (!waited.isValid())
            waited.start();
        if (!ready(dialog) && waited.elapsed() < 10000)
            return;
        poll->stop();
        poll->deleteLater();
        handle(dialog);
    });
    poll->start(10);
}
