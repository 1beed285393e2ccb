#pragma once
// Incremental parser of multipart/form-data bodies, fed in arbitrary pieces so that a body of
// any size passes through bounded memory. It reads the standard form (closing delimiter
// "--BOUNDARY--") and the desktop client's form, whose last line is "--BOUNDARY" followed by an
// empty line and the end of the body.

#include <optional>
#include <string>
#include <string_view>

namespace zavsvc {

struct SPartHeaders {
    std::string strDisposition;  // "form-data"
    std::string strName;         // the form field name
    std::string strFileName;
    bool bHasFileName = false;
    std::string strContentType;
};

class IMultipartSink {
public:
    virtual ~IMultipartSink() = default;
    // Each returns false to stop the parse (the parser then fails with the sink's reason).
    virtual bool OnPartBegin(const SPartHeaders& headers) = 0;
    virtual bool OnPartData(const char* p, size_t n) = 0;
    virtual bool OnPartEnd() = 0;
};

// The boundary of a "multipart/form-data" content type, whether its parameters follow a ';' or
// a ','; nullopt for another type or a missing or over-long boundary.
std::optional<std::string> MultipartBoundary(std::string_view contentType);

class CMultipartParser {
public:
    CMultipartParser(std::string strBoundary, IMultipartSink& sink);

    // False once the body is malformed or the sink refused; stays false.
    bool Feed(const char* p, size_t n);
    // At the end of the body: true when it ended with a closing line after complete parts.
    bool Finish();
    const std::string& Error() const { return m_strError; }
    bool SinkRefused() const { return m_bSinkRefused; }

private:
    enum class EState { Preamble, AfterDelimiter, Headers, EmptyHeaders, Data, Epilogue, Failed };

    bool Fail(std::string strReason);
    bool ParseHeaderBlock(std::string_view block);
    bool Step(bool* pbProgress);

    std::string m_strDelimiter;  // CR LF "--" boundary
    IMultipartSink& m_sink;
    EState m_eState = EState::Preamble;
    std::string m_strPending;
    bool m_bInPart = false;
    bool m_bSinkRefused = false;
    std::string m_strError;
};

}  // namespace zavsvc
