// The syntax of a multipart/form-data body, fed piece by piece as the body
// arrives (a piece may end anywhere: inside a header, a parameter or a
// boundary). The parser only reads: each part it finds goes to a sink, its
// headers first, then its data in chunks, then its end; what a part becomes
// (a variable, a file, a script call) is the sink's business.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "host/web/FieldBuffer.h"

namespace vorn {

// What a part's headers said; the sink may look at it from BeginPart to
// EndPart.
struct MultipartPart {
    // The disposition's "name", without a matching pair of quotes; "" when none.
    String name;
    // The disposition's "filename" likewise; "" for a plain field (a file
    // input left empty sends an empty name).
    String fileName;
    // The part's Content-Type header, spaces taken out; "" when none.
    FieldBuffer type;

    bool IsFile() const { return !fileName.IsEmpty(); }
};

class MultipartSink {
  public:
    virtual ~MultipartSink() = default;

    // A false answer from any of the three stops the parse for good; the
    // sink keeps its own reason.
    virtual bool BeginPart(const MultipartPart& part) = 0;
    // Never empty; a part's data may come in any number of chunks.
    virtual bool PartData(const char* bytes, int64_t length) = 0;
    virtual bool EndPart(const MultipartPart& part) = 0;
    // The body broke the syntax, or memory ran out; nothing follows.
    virtual void Error(const String& message) = 0;
};

class MultipartParser {
  public:
    // The longest boundary line learned from the body itself.
    static constexpr int32_t kMaxBoundary = 256;

    // The separator is the "boundary" parameter of contentType; without one,
    // the body's first line. The sink must outlive the parser.
    MultipartParser(const char* contentType, MultipartSink& sink);
    MultipartParser(const MultipartParser&) = delete;
    MultipartParser& operator=(const MultipartParser&) = delete;

    // Takes the next piece of the body; false once the parse has failed. A
    // body that stops inside a part leaves that part without its end.
    bool Parse(const char* bytes, int32_t length);

  private:
    enum State : int32_t {
        kFirstBoundary,
        kLearnBoundary,
        kAfterFirstBoundary,
        kNoBoundary,
        kLineFeed,
        kHeaderStart,
        kHeaderName,
        kPartType,
        kDisposition,
        kParameterStart,
        kParameterName,
        kParameterValue,
        kBodyLineFeed,
        kBodyStart,
        kBody,
        kMatching,
        kMatchCarried,
        kBoundaryFound,
        kClosing,
        kEnd,
        kFailed,
    };

    // One byte of the part headers (kLineFeed to kBodyLineFeed).
    bool Header(char c);
    void EndParameter();
    bool Learn(const char* line, int64_t length);
    bool Data(const char* bytes, int64_t length);
    bool Fail(const String& message);
    bool FailFound(char c, const char* text);
    // The sink said no.
    bool Stop();

    MultipartSink& sink;
    FieldBuffer boundary;
    FieldBuffer headerName;
    FieldBuffer parameterName;
    FieldBuffer parameterValue;
    bool parameterQuoted = false;
    int32_t match = 0;
    State state;
    MultipartPart part;
};

} // namespace vorn
