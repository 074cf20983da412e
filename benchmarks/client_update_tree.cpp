// Lays out a large client update for whole-process timing of the updater's step two (client_update.sh):
// a version-1 installation and the update server's version-2 tree in which every file has changed. Contents
// are pseudo-random (incompressible), sizes vary over three orders of magnitude, and a few large files hold
// two fifths of the bytes. Every file is listed whole with its SHA-512; the product ini is signed with the
// build's development key and served packed, as the publisher serves it.
//
// Usage: client_update_tree <work-dir> <files> <megabytes>
// Writes into work-dir:
//   v1/                                  the installation (without the updater and its update.ini)
//   www/alpha/2/cv5_client_linux_x86.ini._lzma2_ and .ini.sig, www/alpha/2/client/<path>   the server's tree
//   v2.sha512                            "sha512sum" lines of version 2, paths relative to the installation
#include "lzmafile.h"
#include "rsakey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

const char kVersionDir[] = "www/alpha/2";
const char kSection[] = "client";

struct Entry
{
    QString path;
    qint64 sizeOne = 0;
    qint64 sizeTwo = 0;
    unsigned mode = 0644;
    QByteArray textOne; // small text files (the client's programs); empty: pseudo-random content
    QByteArray textTwo;
};

int fail(const QString &why)
{
    std::fprintf(stderr, "client_update_tree: %s\n", qPrintable(why));
    return 1;
}

// splitmix64: fast, and its output does not compress.
class RandomBytes
{
public:
    explicit RandomBytes(uint64_t seed)
        : m_state(seed)
    {
    }
    void fill(char *data, size_t n)
    {
        for (size_t i = 0; i < n; i += 8) {
            uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
            std::memcpy(data + i, &z, std::min<size_t>(8, n - i));
        }
    }

private:
    uint64_t m_state;
};

// Writes the file and returns its SHA-512 in hex (empty on failure).
QByteArray writeEntry(const QString &path, qint64 size, const QByteArray &text, uint64_t seed, unsigned mode)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!text.isEmpty()) {
        if (file.write(text) != text.size())
            return {};
        hash.addData(text);
    } else {
        RandomBytes random(seed);
        std::vector<char> buffer(1 << 20);
        for (qint64 left = size; left > 0;) {
            const qint64 n = std::min<qint64>(left, qint64(buffer.size()));
            random.fill(buffer.data(), size_t(n));
            if (file.write(buffer.data(), n) != n)
                return {};
            hash.addData(buffer.data(), int(n));
            left -= n;
        }
    }
    file.close();
    if (chmod(QFile::encodeName(path).constData(), mode) != 0)
        return {};
    return hash.result().toHex();
}

// The client's programs (which step two starts and which exit at once), then the data: sizes of version 2
// that add up to the total, version 1 a little smaller.
std::vector<Entry> plan(int files, qint64 totalBytes)
{
    std::vector<Entry> list;
    const auto script = [](int version) {
        return "#!/bin/sh\n# Corvalink client " + QByteArray::number(version) + ": exits at once.\nexit 0\n";
    };
    for (const char *name : {"cv5client_runscript.sh", "cv5client_linux_x86"})
        list.push_back({name, 0, 0, 0755, script(1), script(2)});
    list.push_back({"version.txt", 0, 0, 0644, "1\n", "2\n"});

    std::mt19937_64 rnd(20240611);
    const int data = files - int(list.size());
    const int large = std::max(1, data / 200);
    const qint64 largeBytes = totalBytes * 2 / 5;
    // The others log-uniform between 1 KiB and 2 MiB, scaled to the rest of the total.
    std::uniform_real_distribution<double> exponent(std::log(1024.0), std::log(2.0 * 1024 * 1024));
    std::vector<double> weights(size_t(data - large));
    double sum = 0;
    for (double &w : weights)
        sum += (w = std::exp(exponent(rnd)));
    const double scale = double(totalBytes - largeBytes) / sum;
    std::uniform_real_distribution<double> shrink(0.9, 1.0);
    for (int i = 0; i < data; ++i) {
        Entry e;
        if (i < large) {
            e.path = QString::asprintf("data/packs/pack%02d.pak", i);
            e.sizeTwo = largeBytes / large;
        } else {
            const int n = i - large;
            e.path = n % 10 == 0 ? QString::asprintf("lib/libcv5_%04d.so", n)
                                 : QString::asprintf("data/d%02d/file%05d.dat", n % 40, n);
            e.sizeTwo = std::max<qint64>(1, qint64(weights[size_t(n)] * scale));
            e.mode = n % 10 == 0 ? 0755 : 0644;
        }
        e.sizeOne = std::max<qint64>(1, qint64(double(e.sizeTwo) * shrink(rnd)));
        list.push_back(e);
    }
    return list;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return fail("usage: client_update_tree <work-dir> <files> <megabytes>");
    const QString work = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const int files = std::atoi(argv[2]);
    const qint64 megabytes = std::atoll(argv[3]);
    if (files < 4 || megabytes < 1)
        return fail("need at least 4 files and 1 megabyte");
    const QString key = QStringLiteral(CORVALINK_DEV_PRIVATE_KEY_DER);
    if (key.isEmpty() || !QFile::exists(key))
        return fail("this build has no development key to sign the product ini with");

    const QString served = work + "/" + kVersionDir + "/" + kSection + "/";
    QByteArray ini = QByteArray("[") + kSection + "]\n";
    QByteArray sums;
    const std::vector<Entry> entries = plan(files, megabytes * 1000 * 1000);
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        const QByteArray one = writeEntry(work + "/v1/" + e.path, e.sizeOne, e.textOne, 2 * i, e.mode);
        const QByteArray two = writeEntry(served + e.path, e.sizeTwo, e.textTwo, 2 * i + 1, 0644);
        if (one.isEmpty() || two.isEmpty())
            return fail("cannot write " + e.path);
        const qint64 size = e.textTwo.isEmpty() ? e.sizeTwo : e.textTwo.size();
        ini += e.path.toUtf8() + "=" + two + "::" + QByteArray::number(size) + "\n";
        sums += two + "  " + e.path.toUtf8() + "\n";
    }

    // The ini is signed as it is and served packed beside its signature.
    const QString iniPath = work + "/" + kVersionDir + "/cv5_client_linux_x86.ini";
    try {
        RsaKey::initCrypto();
        RsaKey signer;
        if (!writeText(iniPath, ini) || !signer.importFromFile(key))
            return fail("cannot write the product ini or read the key");
        const QByteArray signature = signer.signHash(reinterpret_cast<const unsigned char *>(ini.constData()),
                                                     static_cast<unsigned long>(ini.size()));
        if (!RsaKey::writeFile(iniPath + ".sig", signature))
            return fail("cannot write the signature");
    } catch (const crypt_exception &e) {
        return fail(QString::fromUtf8(e.what()));
    }
    if (!corvapatch::CompressLzmaFile(QFile::encodeName(iniPath).constData(),
                                      QFile::encodeName(iniPath + "._lzma2_").constData()) ||
        !QFile::remove(iniPath) || !writeText(work + "/v2.sha512", sums))
        return fail("cannot pack the product ini");
    return 0;
}
