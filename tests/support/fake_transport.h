// An in-memory stream endpoint for unit tests of the layers above the network: the test feeds
// the bytes the "peer" sends, reads back what was sent (and in how many buffers), and closes or
// resets the connection at will. Notices go through CEventLoop::Get() exactly as from a real
// endpoint: 100 when data arrives (respecting the receive threshold), 103 after a close.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "net/transport.h"

namespace kx::test {

class CFakeTransport : public TTransportObj {
public:
    CFakeTransport();
    ~CFakeTransport() override;

    // Peer side.
    void Feed(const void* data, std::size_t size);
    void Feed(const std::vector<std::uint8_t>& bytes) { Feed(bytes.data(), bytes.size()); }
    // Everything sent so far, concatenated; TakeSent also clears it.
    const std::vector<std::uint8_t>& Sent() const { return mSent; }
    std::vector<std::uint8_t> TakeSent();
    // One entry per Send/SendBuffer call, to check that a header and its data went together.
    const std::vector<std::vector<std::uint8_t>>& SendCalls() const { return mSendCalls; }
    // The peer closes: IsConnected turns false and 103 is posted.
    void PeerClose();
    // A connection waiting on this (listening) endpoint.
    void AddPending(TTransport pending) { mPending.push_back(std::move(pending)); }

    int DisconnectCalls() const { return mDisconnectCalls; }
    std::size_t Unread() const { return mIncoming.size(); }
    std::uint32_t Threshold() const { return mThreshold; }
    bool HasHandler() const { return bool(mHandler); }

    // TTransportObj
    bool IsRegular() const override { return true; }
    void SetMessageHandler(TMessageProc handler) override { mHandler = std::move(handler); }
    void SetMessageObject(void* object) override { mObject = object; }
    void SetIPAddress(const SIPAddress& addr) override { mLocal = addr; }
    void Listen(const void* address, std::uint32_t size) override;
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override;
    bool IsConnected() const override { return mConnected; }
    std::uint16_t GetConnectStatus() const override { return mConnected ? 3 : 0; }
    void Disconnect() override;
    void StartDisconnect() override;
    bool IsDisconnecting() const override { return mDisconnecting; }
    void Send(const void* data, std::uint32_t size) override;
    void SendBuffer(TTransportBuffer buf) override;
    std::uint32_t GetUnsentSize() const override { return 0; }
    bool IsReadyToSend() const override { return true; }
    void NotifyReadyToSend() override;
    std::uint32_t Receive(void* dest, std::uint32_t size) override;
    TTransportBuffer ReceiveBuffer() override;
    bool IsReadyToReceive(std::uint32_t count) override;
    void NotifyReadyToReceive(std::uint32_t count) override;
    std::uint32_t GetReceiveSize() override { return std::uint32_t(mIncoming.size()); }
    void SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) override {}
    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override;
    SIPAddress GetRemoteIPAddress() const override { return SIPAddress{{127, 0, 0, 1}}; }
    std::uint16_t GetLocalPort() const override { return mPort; }

    bool listening = false;

private:
    void Post(std::uint32_t code);
    void* Sender() { return mObject ? mObject : static_cast<void*>(this); }

    TMessageProc mHandler;
    void* mObject = nullptr;
    SIPAddress mLocal;
    std::uint16_t mPort = 0;
    std::deque<std::uint8_t> mIncoming;
    std::vector<std::uint8_t> mSent;
    std::vector<std::vector<std::uint8_t>> mSendCalls;
    std::deque<TTransport> mPending;
    std::uint32_t mThreshold = 0;
    int mDisconnectCalls = 0;
    bool mConnected = true;
    bool mShutDown = false;
    bool mDisconnecting = false;
    bool mClosePosted = false;
};

}  // namespace kx::test
