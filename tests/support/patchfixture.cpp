#include "patchfixture.h"

QByteArray ensemblePatchBytes(const QByteArray &old, const QByteArray &newData,
                              const std::vector<patchwriter::Element> &elements)
{
    const patchwriter::Bytes oldBytes(old.begin(), old.end());
    const patchwriter::Bytes newBytes(newData.begin(), newData.end());
    patchwriter::EnsemblePatch patch;
    if (patchwriter::MakeEnsemblePatch(oldBytes, newBytes, elements, &patch) != 1)
        return QByteArray();
    const patchwriter::Bytes bytes = patch.Serialize();
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}
