#include "framework.h"

#include <cstdlib>
#include <cstring>

CMemFile::CMemFile(UINT nGrowBytes) noexcept : m_nGrowBytes(nGrowBytes ? nGrowBytes : 1024)
{
}

CMemFile::~CMemFile()
{
    std::free(m_lpBuffer);
}

bool CMemFile::GrowTo(SIZE_T cbNeeded) noexcept
{
    if (cbNeeded <= m_nBufferSize)
    {
        return true;
    }
    const SIZE_T cbNew = (cbNeeded + m_nGrowBytes - 1) / m_nGrowBytes * m_nGrowBytes;
    if (cbNew < cbNeeded)
    {
        return false;
    }
    void* grown = std::realloc(m_lpBuffer, cbNew);
    if (!grown)
    {
        return false;
    }
    m_lpBuffer = static_cast<BYTE*>(grown);
    m_nBufferSize = cbNew;
    return true;
}

UINT CMemFile::Read(void* lpBuf, UINT nCount) noexcept
{
    if (m_nPosition >= m_nFileSize || nCount == 0)
    {
        return 0;
    }
    const SIZE_T cbLeft = m_nFileSize - m_nPosition;
    const UINT cbRead = cbLeft < nCount ? static_cast<UINT>(cbLeft) : nCount;
    std::memcpy(lpBuf, m_lpBuffer + m_nPosition, cbRead);
    m_nPosition += cbRead;
    return cbRead;
}

bool CMemFile::Write(const void* lpBuf, UINT nCount) noexcept
{
    if (nCount == 0)
    {
        return true;
    }
    const SIZE_T cbEnd = m_nPosition + nCount;
    if (cbEnd < m_nPosition || !GrowTo(cbEnd))
    {
        return false;
    }
    if (m_nPosition > m_nFileSize)
    {
        std::memset(m_lpBuffer + m_nFileSize, 0, m_nPosition - m_nFileSize);
    }
    std::memcpy(m_lpBuffer + m_nPosition, lpBuf, nCount);
    m_nPosition = cbEnd;
    if (cbEnd > m_nFileSize)
    {
        m_nFileSize = cbEnd;
    }
    return true;
}

bool CMemFile::SetLength(ULONGLONG dwNewLen) noexcept
{
    if (dwNewLen > static_cast<SIZE_T>(-1))
    {
        return false;
    }
    const SIZE_T cbNew = static_cast<SIZE_T>(dwNewLen);
    if (!GrowTo(cbNew))
    {
        return false;
    }
    if (cbNew > m_nFileSize)
    {
        std::memset(m_lpBuffer + m_nFileSize, 0, cbNew - m_nFileSize);
    }
    m_nFileSize = cbNew;
    if (m_nPosition > m_nFileSize)
    {
        m_nPosition = m_nFileSize;
    }
    return true;
}
