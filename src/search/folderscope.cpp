#include "search/folderscope.h"

namespace search {

FolderScope FolderScope::fromChoice(const QString &text, bool includeSubfolders)
{
    FolderScope scope;
    // Only the text the "All Folders" button puts there means all: a folder's name may begin
    // with "{" too.
    scope.m_all = text.isEmpty() || text == QLatin1String("{Search All Folders}");
    if (!scope.m_all) {
        scope.m_path = text;
        scope.m_includeSubfolders = includeSubfolders;
    }
    return scope;
}

bool FolderScope::contains(const QString &displayPath) const
{
    if (m_all || displayPath == m_path)
        return true;
    return m_includeSubfolders && displayPath.size() > m_path.size() &&
           displayPath.startsWith(m_path) && displayPath.at(m_path.size()) == QLatin1Char('/');
}

} // namespace search
