// Test access to the library's objects. Each view names the fields of one
// object as the class's own code does, so that a test can check a state that
// no method reports (the queue's links, the device's headers); each class
// declares its view a friend. Inside(object) makes the view.
#pragma once

#include "audio/audio.h"
#include "audio/audiocapture.h"
#include "audio/audiodec.h"
#include "audio/audioframebuffer.h"

struct CAudioTestAccess {
    explicit CAudioTestAccess(CAudio& a)
        : m_WaveHdrOut(a.m_WaveHdrOut),
          m_WaveHdrIn(a.m_WaveHdrIn),
          m_cOutState(a.m_cOutState),
          m_cInState(a.m_cInState),
          m_hWaveOut(a.m_hWaveOut),
          m_hWaveIn(a.m_hWaveIn),
          m_pOutBuffer(a.m_pOutBuffer),
          m_pInBuffer(a.m_pInBuffer),
          m_dwOutBufferSize(a.m_dwOutBufferSize),
          m_dwInBufferSize(a.m_dwInBufferSize),
          m_dwOutDataLen(a.m_dwOutDataLen),
          m_pFrameBuffer(a.m_pFrameBuffer),
          m_pFrame(a.m_pFrame)
    {
    }
    WAVEHDR (&m_WaveHdrOut)[CAudio::kBufferCount];
    WAVEHDR (&m_WaveHdrIn)[CAudio::kBufferCount];
    std::atomic<signed char>& m_cOutState;
    std::atomic<signed char>& m_cInState;
    HWAVEOUT& m_hWaveOut;
    HWAVEIN& m_hWaveIn;
    unsigned char* (&m_pOutBuffer)[CAudio::kBufferCount];
    unsigned char* (&m_pInBuffer)[CAudio::kBufferCount];
    DWORD& m_dwOutBufferSize;
    DWORD& m_dwInBufferSize;
    DWORD& m_dwOutDataLen;
    CAudioFrameBuffer*& m_pFrameBuffer;
    unsigned char*& m_pFrame;
};

struct CAudioFrameBufferTestAccess {
    explicit CAudioFrameBufferTestAccess(CAudioFrameBuffer& fb)
        : m_bStoreData(fb.m_bStoreData),
          m_pHead(fb.m_pHead),
          m_pTail(fb.m_pTail),
          m_nRingSize(fb.m_nRingSize),
          m_nReadPos(fb.m_nReadPos),
          m_nWritePos(fb.m_nWritePos),
          m_cs(fb.m_cs),
          m_nFormat(fb.m_nFormat),
          m_nCurPts(fb.m_nCurPts),
          m_nNextPts(fb.m_nNextPts),
          m_nHostPts(fb.m_nHostPts),
          m_nHostPts2(fb.m_nHostPts2),
          m_nInputPts(fb.m_nInputPts),
          m_pVoiceDecoder(fb.m_pVoiceDecoder),
          m_pDecodeBuf(fb.m_pDecodeBuf),
          m_hAmrDecoder(fb.m_hAmrDecoder),
          m_bMute(fb.m_bMute),
          m_nPrebufferFrames(fb.m_nPrebufferFrames),
          m_bLive(fb.m_bLive),
          m_nStopFile(fb.m_nStopFile)
    {
    }
    unsigned char& m_bStoreData;
    FrameEntry*& m_pHead;
    FrameEntry*& m_pTail;
    int& m_nRingSize;
    int& m_nReadPos;
    int& m_nWritePos;
    CRITICAL_SECTION& m_cs;
    int& m_nFormat;
    std::atomic<int64_t>& m_nCurPts;
    std::atomic<int64_t>& m_nNextPts;
    std::atomic<int64_t>& m_nHostPts;
    std::atomic<int64_t>& m_nHostPts2;
    std::atomic<int64_t>& m_nInputPts;
    CG726ADecoder*& m_pVoiceDecoder;
    unsigned char*& m_pDecodeBuf;
    AMR_HANDLE& m_hAmrDecoder;
    std::atomic<int>& m_bMute;
    int& m_nPrebufferFrames;
    std::atomic<int>& m_bLive;
    std::atomic<int>& m_nStopFile;
};

struct CAudioDecTestAccess {
    explicit CAudioDecTestAccess(CAudioDec& dec)
        : m_pAudio(dec.m_pAudio),
          m_pFrameBuffer(dec.m_pFrameBuffer),
          m_nMode(dec.m_nMode),
          m_nLive(dec.m_nLive),
          m_nVolume(dec.m_nVolume)
    {
    }
    CAudio*& m_pAudio;
    CAudioFrameBuffer*& m_pFrameBuffer;
    int& m_nMode;
    int& m_nLive;
    std::atomic<DWORD>& m_nVolume;
};

struct CAudioCaptureTestAccess {
    explicit CAudioCaptureTestAccess(CAudioCapture& capture)
        : m_pAudio(capture.m_pAudio), m_pFrameBuffer(capture.m_pFrameBuffer)
    {
    }
    CAudio*& m_pAudio;
    CAudioFrameBuffer*& m_pFrameBuffer;
};

inline CAudioTestAccess Inside(CAudio& audio) { return CAudioTestAccess(audio); }
inline CAudioFrameBufferTestAccess Inside(CAudioFrameBuffer& fb) { return CAudioFrameBufferTestAccess(fb); }
inline CAudioDecTestAccess Inside(CAudioDec& dec) { return CAudioDecTestAccess(dec); }
inline CAudioCaptureTestAccess Inside(CAudioCapture& capture) { return CAudioCaptureTestAccess(capture); }
