// SPDX-License-Identifier: GPL-3.0-or-later
#include "filefield.h"

#include "namedwidgets.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QSettings>
#include <QTreeView>

namespace {

QString fileFilter(const QString &kind, const QStringList &patterns)
{
    return QStringLiteral("%1 (%2);;Alle Dateien (*)").arg(kind, patterns.join(QLatin1Char(' ')));
}

// Qt's own dialog (where the desktop offers none) starts narrow, its name column a few letters
// wide: long image names must be read whole, so every column is as wide as its contents and the
// dialog as wide as the screen allows.
void widenColumns(QFileDialog &dialog)
{
    auto *details = dialog.findChild<QTreeView *>(QStringLiteral("treeView"));
    if (!details)
        return;
    details->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    const QSize room = dialog.screen()->availableSize() * 9 / 10;
    const int em = dialog.fontMetrics().averageCharWidth();
    dialog.resize(QSize(150 * em, 70 * em).boundedTo(room).expandedTo(dialog.sizeHint()));
}

} // namespace

FileField::FileField(const QString &labelText, const char *editName, const char *buttonName,
                     const char *hintName, const FileKind &fileKind, const QString &buttonText,
                     QWidget *parent)
    : QWidget(parent), kind(fileKind)
{
    lineEdit = named<QLineEdit>(editName);
    lineEdit->setAccessibleName(fileKind.accessibleName);
    lineEdit->setPlaceholderText(fileKind.placeholder);
    // Dropped files go to the window, which puts the path in place of the URL text a line edit
    // would insert.
    lineEdit->setAcceptDrops(false);
    button = namedButton(buttonName, buttonText, QStringLiteral("%1 auswählen").arg(kind.accessibleName));
    hint = namedHint(hintName);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnStretch(1, 1);
    grid->addWidget(buddyLabel(labelText, lineEdit), 0, 0);
    grid->addWidget(lineEdit, 0, 1);
    grid->addWidget(button, 0, 2);
    grid->addWidget(hint, 1, 1, 1, 2);
    setFocusProxy(lineEdit);
    connect(button, &QPushButton::clicked, this, &FileField::choose);
    connect(lineEdit, &QLineEdit::textChanged, this, &FileField::pathChanged);
}

QString FileField::path() const
{
    return lineEdit->text().trimmed();
}

void FileField::setPath(const QString &path)
{
    lineEdit->setText(path);
}

void FileField::setOption(QCheckBox *checkBox)
{
    option = checkBox;
    connect(option, &QCheckBox::toggled, this, &FileField::updateEnabled);
    updateEnabled();
}

void FileField::setLocked(bool lock)
{
    locked = lock;
    updateEnabled();
}

void FileField::setStartBeside(const FileField *other)
{
    beside = other;
}

void FileField::setHint(const QString &text)
{
    ::setHint(hint, text);
}

void FileField::updateEnabled()
{
    setEnabled(!locked && (!option || option->isChecked()));
}

bool FileField::suits(const QString &file) const
{
    const QString name = QFileInfo(file).fileName();
    for (const QString &pattern : kind.patterns)
        if (QDir::match(pattern, name))
            return true;
    return false;
}

void FileField::takeDroppedFile(const QString &file)
{
    setPath(file);
    if (option)
        option->setChecked(true);
    Q_EMIT fileDropped(file);
}

// The field's file if it has one, else the folder of the file beside, else the folder a file of
// this kind came from last, else the kind's own.
QString FileField::startFolder() const
{
    if (!path().isEmpty())
        return path();
    if (beside && !beside->path().isEmpty())
        return QFileInfo(beside->path()).absolutePath();
    const QString remembered = QSettings().value(kind.folderKey).toString();
    return remembered.isEmpty() ? kind.defaultFolder : remembered;
}

void FileField::choose()
{
    QFileDialog dialog(this, kind.dialogTitle, startFolder(), fileFilter(kind.filterName, kind.patterns));
    dialog.setFileMode(QFileDialog::ExistingFile);
    widenColumns(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString chosen = dialog.selectedFiles().constFirst();
    setPath(chosen);
    QSettings().setValue(kind.folderKey, QFileInfo(chosen).absolutePath());
}
