#include "zip/zip_exception.h"

#include <zlib.h>

#include <cstring>

CZipException::CZipException(int iCause, std::string strArchivePath)
    : m_iCause(iCause),
      m_strArchivePath(std::move(strArchivePath)),
      m_strWhat("CZipException cause " + std::to_string(iCause)) {}

CFileException::CFileException(int nOsError, std::string strFileName)
    : m_nOsError(nOsError), m_strFileName(std::move(strFileName)) {
    m_strWhat = m_strFileName + ": " + std::strerror(nOsError);
}

void ZipException(int iCode, const std::string& strArchivePath) {
    int iCause;
    switch (iCode) {
        case Z_STREAM_END:
            iCause = CZipException::StreamEnd;
            break;
        case Z_NEED_DICT:
            iCause = CZipException::NeedDictionary;
            break;
        case Z_ERRNO:
            iCause = CZipException::SystemError;
            break;
        case Z_STREAM_ERROR:
            iCause = CZipException::StreamError;
            break;
        case Z_DATA_ERROR:
            iCause = CZipException::DataError;
            break;
        case Z_MEM_ERROR:
            iCause = CZipException::OutOfMemory;
            break;
        case Z_BUF_ERROR:
            iCause = CZipException::BufferError;
            break;
        case Z_VERSION_ERROR:
            iCause = CZipException::VersionError;
            break;
        case kZipBadArchive:
            iCause = CZipException::BadArchive;
            break;
        case kZipCrcError:
            iCause = CZipException::CrcMismatch;
            break;
        case kZipTooLongData:
            iCause = CZipException::NameTooLong;
            break;
        case kZipEndRecordNotFound:
            iCause = CZipException::EndRecordNotFound;
            break;
        default:
            iCause = CZipException::Generic;
            break;
    }
    throw CZipException(iCause, strArchivePath);
}
