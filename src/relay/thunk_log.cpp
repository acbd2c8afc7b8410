// The relay object's log writers.
#include "log/log_file.h"
#include "relay/game_server_thunk.h"

// Lines of the member writers never interleave: m_csLog is held from the
// opening of the file to its closing, and g_csLogFile keeps them whole
// against write_log_line on other threads.
void GameServerThunk::WriteLog(const LogLine &line) {
    try {
        std::string body = line.str();
        plat::LockGuard guard(m_csLog);
        plat::LockGuard fileGuard(g_csLogFile);
        std::string text = compose_log_text(body);
        if (!m_pLogFile)
            m_pLogFile = open_log_stream();
        if (m_pLogFile)
            put_log_text(*m_pLogFile, text);
        if (m_bConsole)
            echo_log_text(text);
        m_pLogFile.reset();
    } catch (...) {
        // Logging never fails towards its caller.
    }
}

// At most 49 lines pass between two resets of the count (each opened
// connection resets it); the count goes on rising while lines are dropped.
void GameServerThunk::WriteLogLimited(const LogLine &line) {
    if (m_nLimitedLogCount.fetch_add(1) + 1 < 50)
        WriteLog(line);
}
