// File names as the file system spells them. Qt holds a file name as text,
// and on this system text is UTF-8, so a name whose bytes are not UTF-8 (a
// Latin-1 "été.wav" from an old disc) reaches the window with U+FFFD in
// place of those bytes and cannot be opened by that spelling. These give the
// loader the bytes themselves.
#pragma once

#include <QString>
#include <QUrl>
#include <string>

namespace sevrane::ui {

// The bytes of `path` for the file system: Qt's file-name encoding; where
// that names nothing because a name in it was not UTF-8, each such name is
// looked up in its folder and replaced by the one entry that Qt shows as
// that name. A name that matches no entry, or more than one, stays as Qt
// encodes it (and the loader then cannot open it).
std::string NativePath(const QString& path);

// The bytes of a local file's URL (a drop): its path percent-decoded byte
// for byte, which keeps a name that is not UTF-8 as it was sent.
std::string NativePath(const QUrl& localFile);

// The name the window shows for the file-system bytes `nativePath`: Qt's
// file-name decoding, the inverse of NativePath.
QString DisplayPath(const std::string& nativePath);

}  // namespace sevrane::ui
