// The stream-set reader on arbitrary bytes: the top-level form, then a nested set read out of it, then the
// writer on what was read, whose output must parse back to the same streams.
#include "sinkstreamset.h"
#include "sourcestreamset.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameBytes(corvapatch::SourceStream *a, corvapatch::SourceStream *b)
{
    return a->Remaining() == b->Remaining() &&
        (a->Remaining() == 0 || std::memcmp(a->Current(), b->Current(), a->Remaining()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    corvapatch::SourceStreamSet set;
    if (!set.Init(data, size)) {
        for (uint32_t i = 0; i < set.count(); ++i)
            check(set.stream(i)->Empty());
        return 0;
    }
    check(set.count() <= corvapatch::kStreamSetMaxStreams);
    check(set.stream(set.count()) == nullptr);

    // Re-serialise the parsed streams and parse them again.
    corvapatch::SinkStreamSet copy;
    check(copy.Init(set.count()));
    for (uint32_t i = 0; i < set.count(); ++i) {
        corvapatch::SourceStream *s = set.stream(i);
        check(copy.stream(i)->Write(s->Current(), s->Remaining()));
    }
    corvapatch::SinkStream combined;
    check(copy.CopyTo(&combined));
    corvapatch::SourceStreamSet again;
    check(again.Init(combined.Buffer(), combined.Length()));
    check(again.count() == set.count());
    for (uint32_t i = 0; i < set.count(); ++i)
        check(sameBytes(set.stream(i), again.stream(i)));

    // A nested set, as the ensemble patch reads its parameters and elements.
    corvapatch::SourceStreamSet nested;
    if (set.ReadSet(&nested)) {
        check(nested.count() == corvapatch::kStreamSetMaxStreams);
        for (uint32_t i = 0; i < nested.count(); ++i) {
            corvapatch::SourceStream *s = nested.stream(i);
            check(s->Remaining() <= size &&
                  (s->Remaining() == 0 || (s->Current() >= data && s->Current() + s->Remaining() <= data + size)));
        }
    }
    (void)set.Empty();
    return 0;
}
