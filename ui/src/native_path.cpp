#include "native_path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <optional>

namespace sevrane::ui {

namespace {

std::string ToString(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool Exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// The one entry of `folder` whose name Qt decodes to `shown`.
std::optional<std::string> UniqueEntry(const std::string& folder, const QString& shown)
{
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    int matches = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (QFile::decodeName(entry->d_name) == shown) {
            found = entry->d_name;
            ++matches;
        }
    }
    ::closedir(directory);
    return matches == 1 ? found : std::nullopt;
}

}  // namespace

std::string NativePath(const QString& path)
{
    const std::string encoded = ToString(QFile::encodeName(path));
    if (!path.contains(QChar::ReplacementCharacter) || Exists(encoded)) {
        return encoded;
    }
    std::string resolved = path.startsWith(QLatin1Char('/')) ? "/" : "";
    for (const QString& name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        std::string part = ToString(QFile::encodeName(name));
        if (name.contains(QChar::ReplacementCharacter)) {
            const std::optional<std::string> entry = UniqueEntry(resolved.empty() ? "." : resolved, name);
            if (!entry.has_value()) {
                return encoded;
            }
            part = *entry;
        }
        if (!resolved.empty() && resolved.back() != '/') {
            resolved += '/';
        }
        resolved += part;
    }
    return resolved;
}

std::string NativePath(const QUrl& localFile)
{
    return ToString(QByteArray::fromPercentEncoding(localFile.path(QUrl::FullyEncoded).toLatin1()));
}

QString DisplayPath(const std::string& nativePath)
{
    return QFile::decodeName(QByteArray::fromStdString(nativePath));
}

}  // namespace sevrane::ui
