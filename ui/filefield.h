// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QCheckBox;
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
    QString folderKey; // the setting that keeps the folder such a file came from last
};

// A path field with its "Auswählen …" button and file dialog. A field that belongs to an option
// is usable only while the option is ticked, and a file dropped on it ticks the option.
class FileField : public QWidget
{
    Q_OBJECT

public:
    // The line edit and the button carry editName and buttonName as their object names.
    FileField(const char *editName, const char *buttonName, const FileKind &kind, QWidget *parent = nullptr);

    QString path() const; // the field's text without surrounding blanks
    void setPath(const QString &path);
    QLineEdit *edit() const { return lineEdit; }

    // Makes the field follow option: usable while it is ticked, ticked by a dropped file.
    void setOption(QCheckBox *option);
    // A locked field is unusable whatever its option says (while an installation runs).
    void setLocked(bool locked);

    // True when the file's name matches one of the field's patterns.
    bool suits(const QString &file) const;
    // Takes a dropped file as if chosen, ticks the option and announces it.
    void takeDroppedFile(const QString &file);

Q_SIGNALS:
    void fileDropped(const QString &file);

private:
    void choose();
    void updateEnabled();

    FileKind kind;
    QLineEdit *lineEdit = nullptr;
    QPushButton *button = nullptr;
    QCheckBox *option = nullptr;
    bool locked = false;
};
