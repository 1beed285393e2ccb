// CLiveService on Windows: a client of the host's service broker (service_broker.py), which
// starts and stops a native zav-service for each CLiveService. One connection per object; the
// broker stops the service and removes its folder when the connection closes.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <fstream>

#include "platform/native_text.h"
#include "support/live_service.h"
#include "support/test_socket.h"

namespace {

std::string Hex(const std::string& strText) {
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    for (unsigned char c : strText) {
        strHex += kDigits[c >> 4];
        strHex += kDigits[c & 15];
    }
    return strHex;
}

bool Unhex(const std::string& strHex, std::string& strText) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (strHex.size() % 2 != 0)
        return false;
    strText.clear();
    for (size_t i = 0; i < strHex.size(); i += 2) {
        int nHigh = digit(strHex[i]);
        int nLow = digit(strHex[i + 1]);
        if (nHigh < 0 || nLow < 0)
            return false;
        strText += static_cast<char>(nHigh * 16 + nLow);
    }
    return true;
}

test_socket::Socket AsSocket(uintptr_t n) {
    return static_cast<test_socket::Socket>(n);
}

// The broker's port, from the file CTest names.
int BrokerPort() {
    std::optional<std::string> file = GetEnvironmentUtf8("ZAV_TEST_BROKER_FILE");
    if (!file)
        return 0;
    std::ifstream in(PathFromUtf8(*file));
    int nPort = 0;
    in >> nPort;
    return nPort;
}

}  // namespace

CLiveService::CLiveService(std::vector<std::string> vecExtraArgs, bool bStart)
    : m_vecExtraArgs(std::move(vecExtraArgs)) {
    int nPort = BrokerPort();
    test_socket::Socket nSocket = nPort > 0 ? test_socket::Connect(nPort) : test_socket::kNone;
    if (nSocket == test_socket::kNone) {
        ADD_FAILURE() << "no service broker (ZAV_TEST_BROKER_FILE names its port; CTest starts "
                         "it before the tests that need zav-service)";
        return;
    }
    m_nBrokerSocket = static_cast<uintptr_t>(nSocket);
    std::vector<std::string> vecReply;
    if (!AskBroker({"hello"}, vecReply) || vecReply.size() != 2)
        return;
    m_strHostDataDir = vecReply[1];
    m_strDataDir = GetEnvironmentUtf8("ZAV_TEST_HOST_DRIVE").value_or("") + m_strHostDataDir;
    if (bStart)
        Start();
}

CLiveService::~CLiveService() {
    Stop();
    test_socket::Close(AsSocket(m_nBrokerSocket));
}

bool CLiveService::AskBroker(const std::vector<std::string>& vecRequest,
                             std::vector<std::string>& vecReply) const {
    std::lock_guard lock(m_mutex);
    vecReply.clear();
    if (AsSocket(m_nBrokerSocket) == test_socket::kNone)
        return false;
    std::string strLine;
    for (const std::string& strField : vecRequest)
        strLine += (strLine.empty() ? "" : " ") + Hex(strField);
    strLine += '\n';
    std::string strIn;
    char ach[4096];
    bool bOk = test_socket::SendAll(AsSocket(m_nBrokerSocket), strLine);
    while (bOk && strIn.find('\n') == std::string::npos) {
        long n = test_socket::Receive(AsSocket(m_nBrokerSocket), ach, sizeof ach);
        bOk = n > 0;
        if (bOk)
            strIn.append(ach, static_cast<size_t>(n));
    }
    if (bOk) {
        strIn.erase(strIn.find('\n'));
        size_t nPos = 0;
        while (bOk && nPos <= strIn.size()) {
            size_t nSpace = std::min(strIn.find(' ', nPos), strIn.size());
            std::string strField;
            bOk = Unhex(strIn.substr(nPos, nSpace - nPos), strField);
            vecReply.push_back(std::move(strField));
            nPos = nSpace + 1;
        }
    }
    if (!bOk || vecReply.empty() || vecReply[0] != "ok") {
        ADD_FAILURE() << "the service broker refused " << vecRequest[0] << ": "
                      << (vecReply.size() > 1 ? vecReply[1] : std::string("no answer"));
        return false;
    }
    return true;
}

bool CLiveService::Start() {
    if (IsRunning()) {
        ADD_FAILURE() << "zav-service is already running";
        return false;
    }
    std::vector<std::string> vecRequest = {"start"};
    vecRequest.insert(vecRequest.end(), m_vecExtraArgs.begin(), m_vecExtraArgs.end());
    std::vector<std::string> vecReply;
    if (!AskBroker(vecRequest, vecReply) || vecReply.size() != 4)
        return false;
    m_pid = static_cast<pid_t>(std::stol(vecReply[1]));
    m_nHttpPort = std::stoi(vecReply[2]);
    m_nHttpsPort = std::stoi(vecReply[3]);
    return true;
}

int CLiveService::Stop() {
    if (m_pid <= 0)
        return -1;
    m_pid = -1;
    std::vector<std::string> vecReply;
    if (!AskBroker({"stop"}, vecReply) || vecReply.size() != 2)
        return -1;
    return std::stoi(vecReply[1]);
}

bool CLiveService::Restart() {
    Stop();
    return Start();
}

bool CLiveService::IsRunning() const {
    return m_pid > 0;
}

std::string CLiveService::BinaryPath() {
    return "zav-service (on the host, through the service broker)";
}

std::string CLiveService::ServiceDataDir() const {
    return m_strHostDataDir;
}

int CLiveService::RunCommand(const std::vector<std::string>& vecArgs, std::string* pStrOut) const {
    std::vector<std::string> vecRequest = {"run"};
    vecRequest.insert(vecRequest.end(), vecArgs.begin(), vecArgs.end());
    std::vector<std::string> vecReply;
    if (!AskBroker(vecRequest, vecReply) || vecReply.size() != 3)
        return -1;
    if (pStrOut != nullptr)
        *pStrOut = vecReply[2];
    return std::stoi(vecReply[1]);
}

std::vector<std::string> CLiveService::LogLines() const {
    std::vector<std::string> vecReply;
    if (!AskBroker({"log"}, vecReply))
        return {};
    vecReply.erase(vecReply.begin());
    return vecReply;
}

bool CLiveService::WaitForLogLine(const std::string& strNeedle,
                                  std::chrono::milliseconds timeout) const {
    std::vector<std::string> vecReply;
    return AskBroker({"waitlog", strNeedle, std::to_string(timeout.count())}, vecReply) &&
           vecReply.size() == 2 && vecReply[1] == "1";
}

int CLiveService::StartTlsRecorder() const {
    std::vector<std::string> vecReply;
    if (!AskBroker({"tlsrecord"}, vecReply) || vecReply.size() != 2)
        return 0;
    return std::stoi(vecReply[1]);
}

std::string CLiveService::RecordedTlsRequest() const {
    std::vector<std::string> vecReply;
    if (!AskBroker({"tlsrequest"}, vecReply) || vecReply.size() != 2)
        return {};
    return vecReply[1];
}

#endif  // _WIN32
