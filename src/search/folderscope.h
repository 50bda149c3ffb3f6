#pragma once

#include <QString>

namespace search {

// Which folders a search covers, as the user chose them: every folder, one folder, or one folder
// with everything below it. Folders are matched by display path against the folder list of the
// run itself, so a choice that no longer exists matches nothing (it never widens to all folders).
class FolderScope
{
public:
    // text: the scope field; empty or exactly "{Search All Folders}" means every folder.
    static FolderScope fromChoice(const QString &text, bool includeSubfolders);

    // A folder is in scope when its display path is the chosen one, or, with sub-folders, lies
    // below it ("Work" covers "Work/2005" but not "Workshop").
    bool contains(const QString &displayPath) const;

private:
    QString m_path;
    bool m_all = true;
    bool m_includeSubfolders = false;
};

} // namespace search
