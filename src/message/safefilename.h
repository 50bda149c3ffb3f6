#pragma once

#include <QByteArray>
#include <QString>

namespace message {

// A name from a message (an attachment's file name, a subject) made fit to be one file name in
// a folder the user chose. The name is never used as a path as it stands:
//  - anything up to the last "/" or "\" is dropped (no folders, no absolute paths, no "..");
//  - control and invisible formatting characters (such as the right-to-left override that can
//    make "gpj.exe" look like "exe.jpg") are removed, and characters other systems reserve
//    (< > : " | ? *) become "_";
//  - leading dots (hidden files, "." and "..") and white space at either end go, and so do
//    trailing dots;
//  - the name is cut to kMaxFileNameBytes bytes of UTF-8, keeping a short extension;
//  - what is left empty becomes "attachment".
QString safeFileName(const QString &name);

// Room is left under the usual 255-byte limit of file systems for " (123)" added by
// uniqueFilePath.
inline constexpr int kMaxFileNameBytes = 200;

// A path in `folder` for a file called `fileName` that does not exist yet: the name itself, or
// "name (2).ext", "name (3).ext", ... The caller still creates the file exclusively, as another
// program may take the name meanwhile.
QString uniqueFilePath(const QString &folder, const QString &fileName);

// Writes `data` to a new file in `folder` named as uniqueFilePath names it; never replaces or
// follows an existing file, even one that appears meanwhile. Returns the path written, or an
// empty text with the reason in *error.
QString saveNewFile(const QString &folder, const QString &fileName, const QByteArray &data,
                    QString *error);

} // namespace message
