#include "bytes.h"
#include "ensembleapplier.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"

#include "support/ensemblepatchwriter.h"

#include <gtest/gtest.h>

#include <string>

using namespace corvapatch;

namespace {

// The streams of one encoded program, by hand. "abc": image base 0 and no origins; one ENC_COPY; the copy bytes
// (count 3, "abc"); four empty tables; one copy count, 3.
const std::vector<Bytes> kAbcProgram = {{0x00, 0x00}, {0x01, 0x01}, {0x03, 'a', 'b', 'c'}, {0x00}, {0x00},
                                        {0x00},       {0x00},       {0x01, 0x03}};

// A linear set holding one nested set per element, each made of the given streams.
Bytes nestedSets(const std::vector<std::vector<Bytes>> &elements)
{
    SinkStreamSet outer;
    for (const std::vector<Bytes> &streams : elements) {
        SinkStreamSet inner;
        for (size_t i = 0; i < streams.size(); ++i)
            EXPECT_TRUE(inner.stream(i)->Write(streams[i].data(), streams[i].size()));
        EXPECT_TRUE(outer.WriteSet(&inner));
    }
    SinkStream out;
    EXPECT_TRUE(outer.CopyTo(&out));
    return bytesOf(out);
}

} // namespace

// No disassembler is needed for reassembly: the steps after the transformation are driven directly, with the
// corrected element set standing in for what the element correction produced.
TEST(EnsembleApplier, ReassemblesCorrectedElements)
{
    const Bytes old = {'o', 'l', 'd'};
    std::vector<Bytes> abcAndStream9 = kAbcProgram;
    abcAndStream9.resize(10);
    abcAndStream9[9] = {0x58};
    std::vector<Bytes> copyWithoutCount = kAbcProgram;
    copyWithoutCount[7] = {0x00};
    struct Case
    {
        const char *name;
        Bytes elements;
        int status;
        Bytes basic;
    };
    const Case cases[] = {
        {"one copy program", nestedSets({kAbcProgram}), Status::OK, {'a', 'b', 'c'}},
        {"program of empty streams", nestedSets({std::vector<Bytes>(10)}), Status::DESERIALIZATION_FAILED, {}},
        {"copy without its count", nestedSets({copyWithoutCount}), Status::ASSEMBLY_FAILED, {}},
        {"a byte in the program's unused stream", nestedSets({abcAndStream9}), Status::STREAM_NOT_CONSUMED, {}},
        {"no set for the element", {0xEA, 0x9A, 0xCA, 0x09, 0x00}, Status::STREAM_ERROR, {}},
        {"a second set left over", nestedSets({kAbcProgram, kAbcProgram}), Status::STREAM_NOT_CONSUMED, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EnsembleApplier applier;
        ASSERT_EQ(applier.InitBase(old.data(), old.size()), Status::OK);
        const Bytes descriptions = patchwriter::Descriptions({{2, 0, 3, 0, 0}});
        SourceStream stream;
        stream.Init(descriptions.data(), descriptions.size());
        ASSERT_EQ(applier.ReadTransformationDescriptions(&stream), Status::OK);

        SourceStreamSet elements;
        ASSERT_TRUE(elements.Init(c.elements.data(), c.elements.size()));
        SinkStream basic;
        EXPECT_EQ(applier.ReassembleElements(&elements, &basic), c.status);
        if (c.status == Status::OK) {
            EXPECT_EQ(bytesOf(basic), c.basic);
        }
    }
}
