// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// What a file field holds: how it is named, how its dialog filters, and where such files were
// last taken from.
struct FileKind
{
    QString accessibleName; // e.g. "Kickstart-ROM-Datei"
    QString placeholder;
    QString dialogTitle;
    QString filterName; // names the patterns in the dialog's filter
    QStringList patterns;
    QString folderKey;     // the setting that keeps the folder such a file came from last
    QString defaultFolder; // where the dialog starts when nothing else tells
};

// A path field with its choose button, file dialog and a hint below it that says what is missing
// or wrong. A field that belongs to an option is usable only while the option is ticked, and a
// file dropped on it ticks the option.
class FileField : public QWidget
{
    Q_OBJECT

public:
    // The line edit, the button and the hint carry the three names as their object names.
    // The label beside the field is its sibling, so that screen readers hear the field labelled.
    FileField(const QString &labelText, const char *editName, const char *buttonName, const char *hintName,
              const FileKind &fileKind, const QString &buttonText, QWidget *parent = nullptr);

    QString path() const; // the field's text without surrounding blanks
    void setPath(const QString &path);
    QLineEdit *edit() const { return lineEdit; }

    // Makes the field follow option: usable while it is ticked, ticked by a dropped file.
    void setOption(QCheckBox *option);
    // A locked field is unusable whatever its option says (while an installation runs).
    void setLocked(bool locked);
    // With an empty field, the dialog starts in the folder of the other field's file.
    void setStartBeside(const FileField *other);
    // Shows text below the field; an empty text hides the hint.
    void setHint(const QString &text);

    // True when the file's name matches one of the field's patterns.
    bool suits(const QString &file) const;
    // Takes a dropped file as if chosen, ticks the option and announces it.
    void takeDroppedFile(const QString &file);

Q_SIGNALS:
    void pathChanged();
    void fileDropped(const QString &file);

private:
    void choose();
    QString startFolder() const;
    void updateEnabled();

    FileKind kind;
    QLineEdit *lineEdit = nullptr;
    QPushButton *button = nullptr;
    QLabel *hint = nullptr;
    QCheckBox *option = nullptr;
    const FileField *beside = nullptr;
    bool locked = false;
};
