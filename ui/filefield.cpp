// SPDX-License-Identifier: GPL-3.0-or-later
#include "filefield.h"

#include "namedwidgets.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QSettings>

namespace {

QString fileFilter(const QString &kind, const QStringList &patterns)
{
    return QStringLiteral("%1 (%2);;Alle Dateien (*)").arg(kind, patterns.join(QLatin1Char(' ')));
}

} // namespace

FileField::FileField(const char *editName, const char *buttonName, const FileKind &kind, QWidget *parent)
    : QWidget(parent), kind(kind)
{
    lineEdit = named<QLineEdit>(editName);
    lineEdit->setAccessibleName(kind.accessibleName);
    lineEdit->setPlaceholderText(kind.placeholder);
    // Dropped files go to the window, which puts the path in place of the URL text a line edit
    // would insert.
    lineEdit->setAcceptDrops(false);
    button = namedButton(buttonName, QStringLiteral("Auswählen …"),
                         QStringLiteral("%1 auswählen").arg(kind.accessibleName));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(lineEdit, 1);
    row->addWidget(button);
    setFocusProxy(lineEdit);
    connect(button, &QPushButton::clicked, this, &FileField::choose);
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

// Starts in the field's file if it has one, else in the folder a file of this kind came from last.
void FileField::choose()
{
    QSettings settings;
    const QString start = path().isEmpty() ? settings.value(kind.folderKey).toString() : path();
    const QString chosen = QFileDialog::getOpenFileName(this, kind.dialogTitle, start,
                                                        fileFilter(kind.filterName, kind.patterns));
    if (chosen.isEmpty())
        return;
    setPath(chosen);
    settings.setValue(kind.folderKey, QFileInfo(chosen).absolutePath());
}
