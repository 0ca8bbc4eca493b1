#pragma once

#include <QByteArray>
#include <QtGlobal>

// Layout of an encrypted vault file, shared by the writer and the reader.
//
//   header (48 bytes): "TVRVAULT", version byte, 3 zero bytes, plaintext block size (uint32 BE),
//                      32 random bytes of file salt
//   blocks:            AES-256-GCM ciphertext of each plaintext block followed by its 16-byte tag
//
// Every block but the last holds exactly one full plaintext block; the last holds 0 to one full
// block. Each file gets its own key, HMAC-SHA256(vault key, label || file salt), so the block
// index alone is a unique nonce. The associated data of a block is the header, the block index
// and a final-block flag: blocks cannot be reordered, dropped, truncated or moved between files.
namespace tvr::server::vaultformat {

constexpr char Magic[] = "TVRVAULT";
constexpr int MagicBytes = 8;
constexpr quint8 Version = 1;
constexpr int SaltBytes = 32;
constexpr int HeaderBytes = MagicBytes + 4 + 4 + SaltBytes;
constexpr int TagBytes = 16;
constexpr int NonceBytes = 12;
constexpr quint32 DefaultBlockBytes = 64 * 1024;
constexpr quint32 MaxBlockBytes = 16 * 1024 * 1024;

QByteArray makeHeader(quint32 blockBytes, const QByteArray &salt);
// The file key for a vault key and a header's salt.
QByteArray fileKey(const QByteArray &vaultKey, const QByteArray &salt);
QByteArray nonce(quint64 blockIndex);
QByteArray associatedData(const QByteArray &header, quint64 blockIndex, bool finalBlock);

} // namespace tvr::server::vaultformat
