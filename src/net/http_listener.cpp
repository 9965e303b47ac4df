// The tunnel layer's process-wide part: routing of raw-connection notices, the open list of
// raw connections accepted by tunnel listeners (request parsing, the GET response, a POST's
// first padding block), pairing a GET and a POST into a tunnel, handing a reopened channel to
// its tunnel, the close list, and the periodic sweep of both lists.
#include "net/http_module.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

#include "framework/clock.h"
#include "framework/error.h"
#include "framework/event_loop.h"
#include "net/regular_transport.h"

namespace kx {

namespace {

struct SRoute {
    EHttpRole role;
    void* target;
    CHttpRawChannel* channel;
};

struct SClosing {
    THttpRawChannel channel;
    std::uint64_t since;
};

struct SState {
    std::unordered_map<std::uint64_t, SRoute> routes;
    std::uint64_t nextToken = 1;
    std::vector<std::unique_ptr<SConnectionInfo>> openList;   // _gConnectionOpenList
    std::vector<SClosing> closeList;                          // _gConnectionCloseList
    std::vector<THttpTransportObj*> tunnels;                  // _gHttpConnectionList
    CTimerSlot sweepTimer;                                    // _gConnectionOpenCloseTimer
    SHttpTimings timings;
};

// Never destroyed: raw endpoints held here must not outlive the event loop they are watched by.
SState& State() {
    static SState* state = new SState;
    return *state;
}

void EnsureSweepTimer() {
    SState& s = State();
    if (s.sweepTimer.IsRunning()) return;
    s.sweepTimer.Start(s.timings.openCloseTime, [] { UHttpTransport::Sweep(); }, s.timings.openCloseTime);
}

void RemoveOpen(SConnectionInfo* info) {
    auto& list = State().openList;
    auto it = std::find_if(list.begin(), list.end(), [info](const auto& p) { return p.get() == info; });
    if (it != list.end()) list.erase(it);
}

// Refuses a raw connection at once: left open, a peer that keeps sending would be served
// notices until the sweep.
void RefuseOpen(SConnectionInfo* info) {
    info->tptReg->Ep().Disconnect();
    RemoveOpen(info);
}

THttpTransportObj* FindTunnel(const std::string& id) {
    for (THttpTransportObj* t : State().tunnels) {
        if (!t->IsListener() && !t->IsDisconnecting() && t->GetIdentifier() == id) return t;
    }
    return nullptr;
}

// The connection has read its request (and, for a POST, its first padding block).
void BecomeReady(SConnectionInfo* info) {
    info->nReceiveHeader = 0;
    if (THttpTransportObj* tunnel = FindTunnel(info->stConnectionGuid)) {
        THttpRawChannel channel = std::move(info->tptReg);
        CHttpBlockInput input = std::move(info->stReceiveData);
        const bool isSend = info->bSendReceive;
        RemoveOpen(info);
        tunnel->AdoptChannel(isSend, std::move(channel), std::move(input));
        return;
    }
    info->pHttpTransport->NotifyOwner(kMsgConnectionRequest);
}

// A ready POST waiting for its GET: keeps consuming padding so that the client's opening
// packages do not sit in the socket; stops at the first data block, which the tunnel reads.
void SkipLeadingPadding(SConnectionInfo* info) {
    TTransportObj& ep = info->tptReg->Ep();
    CHttpBlockInput& in = info->stReceiveData;
    for (;;) {
        if (in.HasBlock() && in.Code() == kHttpBlockData) return;
        const CHttpBlockInput::EStep step = in.ReadHeader(ep);
        if (step == CHttpBlockInput::EStep::kWait) return;
        if (step == CHttpBlockInput::EStep::kBad ||
            (in.Code() != kHttpBlockData && in.Code() != kHttpBlockPadding)) {
            RefuseOpen(info);
            return;
        }
        if (in.Code() == kHttpBlockData) return;
        if (!in.SkipPayload(ep)) return;
        in.EndBlock();
    }
}

// Runs on each data notice of an unpaired connection. May dispose `info`.
void Advance(SConnectionInfo* info) {
    TTransportObj& ep = info->tptReg->Ep();
    if (info->nReceiveHeader == 2) {
        std::uint8_t buf[kHttpRequestReadSize];
        for (;;) {
            if (info->parser.Received() == 0 && !ep.IsReadyToReceive(kHttpMinRequest)) return;
            const std::uint32_t want = std::min(info->parser.Room(), kHttpRequestReadSize);
            const std::uint32_t got = ep.Receive(buf, want);
            if (got == 0) return;
            const CHttpRequestParser::EResult r = info->parser.Feed(buf, got);
            if (r == CHttpRequestParser::EResult::kRejected) {
                RefuseOpen(info);
                return;
            }
            if (r == CHttpRequestParser::EResult::kDone) break;
        }
        info->bSendReceive = info->parser.IsGet();
        info->stConnectionGuid = info->parser.Identifier();
        std::vector<std::uint8_t> rest = info->parser.TakeRest();
        info->nReceiveHeader = 1;
        if (info->bSendReceive) {
            const std::vector<std::uint8_t> response = UHttpBlock::GetResponseBytes();
            ep.Send(response.data(), static_cast<std::uint32_t>(response.size()));
            BecomeReady(info);
            return;
        }
        info->stReceiveData.SetPending(std::move(rest));
    }
    if (info->nReceiveHeader == 1) {
        CHttpBlockInput& in = info->stReceiveData;
        const CHttpBlockInput::EStep step = in.ReadHeader(ep);
        if (step == CHttpBlockInput::EStep::kWait) return;
        // The body opens with padding; anything else is not a tunnel client.
        if (step == CHttpBlockInput::EStep::kBad || in.Code() != kHttpBlockPadding) {
            RefuseOpen(info);
            return;
        }
        if (!in.SkipPayload(ep)) return;
        in.EndBlock();
        BecomeReady(info);
        return;
    }
    if (info->bSendReceive) {
        info->tptReg->DiscardInput();
    } else {
        SkipLeadingPadding(info);
    }
}

void OnOpenNotice(SConnectionInfo* info, std::uint32_t code) {
    if (code == kMsgConnectionClosed) {
        RemoveOpen(info);
    } else if (code == kMsgDataArrived) {
        Advance(info);
    }
}

void OnClosingNotice(CHttpRawChannel* channel, std::uint32_t code) {
    if (code == kMsgDataArrived) {
        channel->DiscardInput();
        return;
    }
    if (code != kMsgConnectionClosed) return;
    auto& list = State().closeList;
    auto it = std::find_if(list.begin(), list.end(), [channel](const SClosing& c) { return c.channel.get() == channel; });
    if (it != list.end()) list.erase(it);
}

void Dispatch(std::uint64_t token, std::uint32_t code) {
    auto& routes = State().routes;
    auto it = routes.find(token);
    if (it == routes.end()) return;
    const SRoute route = it->second;
    try {
        switch (route.role) {
        case EHttpRole::kListener:
            static_cast<THttpTransportObj*>(route.target)->OnListenerNotice(code);
            break;
        case EHttpRole::kOpen:
            OnOpenNotice(static_cast<SConnectionInfo*>(route.target), code);
            break;
        case EHttpRole::kSend:
        case EHttpRole::kReceive:
            static_cast<THttpTransportObj*>(route.target)->OnChannelNotice(route.role == EHttpRole::kSend, code);
            break;
        case EHttpRole::kClosing:
            OnClosingNotice(route.channel, code);
            break;
        }
    } catch (const SError& err) {
        UError::DebugBreak("HTTP tunnel: notice handling failed: ID " + std::to_string(err.type) + "/" +
                           std::to_string(err.id));
    }
}

}  // namespace

// ---- raw channels ----

CHttpRawChannel::CHttpRawChannel(TTransport endpoint) : mEndpoint(std::move(endpoint)) {
    KX_REQUIRE(mEndpoint);
    mToken = UHttpModule::NewRoute(this);
    const std::uint64_t token = mToken;
    mEndpoint->SetMessageHandler([token](std::uint32_t code, void*) { Dispatch(token, code); });
    // A GET channel that drops keeps what it could not send, for the channel that replaces it.
    if (auto* regular = dynamic_cast<TRegularTransportObj*>(mEndpoint.get())) regular->KeepUnsentOnClose();
}

CHttpRawChannel::~CHttpRawChannel() { UHttpModule::DropRoute(mToken); }

void CHttpRawChannel::SetRoute(EHttpRole role, void* target) { UHttpModule::SetRoute(mToken, role, target); }
void CHttpRawChannel::RouteToListener(THttpTransportObj* listener) { SetRoute(EHttpRole::kListener, listener); }
void CHttpRawChannel::RouteToOpen(SConnectionInfo* info) { SetRoute(EHttpRole::kOpen, info); }
void CHttpRawChannel::RouteToTunnel(THttpTransportObj* tunnel, bool isSend) {
    SetRoute(isSend ? EHttpRole::kSend : EHttpRole::kReceive, tunnel);
}
void CHttpRawChannel::RouteToClosing() { SetRoute(EHttpRole::kClosing, nullptr); }

std::vector<TTransportBuffer> CHttpRawChannel::TakeUnsentBuffers() {
    if (auto* regular = dynamic_cast<TRegularTransportObj*>(mEndpoint.get())) return regular->TakeUnsentBuffers();
    return {};
}

void CHttpRawChannel::DiscardInput() {
    // A piece per notice keeps one noisy peer from holding the loop.
    std::uint8_t scratch[4096];
    for (int i = 0; i < 16; ++i) {
        if (mEndpoint->Receive(scratch, sizeof scratch) < sizeof scratch) break;
    }
}

// ---- module ----

namespace UHttpModule {

std::uint64_t NewRoute(CHttpRawChannel* channel) {
    SState& s = State();
    const std::uint64_t token = s.nextToken++;
    s.routes[token] = SRoute{EHttpRole::kClosing, nullptr, channel};
    return token;
}

void SetRoute(std::uint64_t token, EHttpRole role, void* target) {
    auto it = State().routes.find(token);
    if (it == State().routes.end()) return;
    it->second.role = role;
    it->second.target = target;
}

void DropRoute(std::uint64_t token) { State().routes.erase(token); }

void RegisterTunnel(THttpTransportObj* tunnel) { State().tunnels.push_back(tunnel); }

void UnregisterTunnel(THttpTransportObj* tunnel) {
    auto& v = State().tunnels;
    v.erase(std::remove(v.begin(), v.end(), tunnel), v.end());
}

void AcceptRawConnections(THttpTransportObj* listener, TTransportObj& listening) {
    SState& s = State();
    for (;;) {
        SInternetAddress address{kInternetAddressType, 0, {}};
        std::uint32_t size = sizeof address;
        TTransport endpoint = listening.Accept(&address, &size);
        if (!endpoint) return;
        if (s.openList.size() >= kHttpMaxOpenConnections) {
            endpoint->Disconnect();
            continue;
        }
        auto info = std::make_unique<SConnectionInfo>();
        SConnectionInfo* raw = info.get();
        info->tptReg = std::make_unique<CHttpRawChannel>(std::move(endpoint));
        info->tptReg->RouteToOpen(raw);
        info->pHttpTransport = listener;
        if (size >= sizeof address) info->stAddress = address;
        info->nConnectionTime = UClock::Milliseconds();
        s.openList.push_back(std::move(info));
        EnsureSweepTimer();
        Advance(raw);  // the request may be there already
    }
}

TTransport Pair(THttpTransportObj* listener, void* addrBuf, std::uint32_t* ioSize) {
    auto& list = State().openList;
    auto ready = [listener](const SConnectionInfo& c, bool get) {
        return c.pHttpTransport == listener && c.nReceiveHeader == 0 && c.bSendReceive == get && c.tptReg;
    };
    // Every ready GET is tried in turn, so that one whose POST never comes holds up no other.
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!ready(*list[i], true)) continue;
        for (std::size_t j = 0; j < list.size(); ++j) {
            if (!ready(*list[j], false) || list[j]->stConnectionGuid != list[i]->stConnectionGuid) continue;
            std::unique_ptr<SConnectionInfo> get = std::move(list[i]);
            std::unique_ptr<SConnectionInfo> post = std::move(list[j]);
            list.erase(list.begin() + std::max(i, j));
            list.erase(list.begin() + std::min(i, j));
            auto tunnel = std::make_unique<THttpTransportObj>(std::move(get->tptReg), std::move(post->tptReg),
                                                              std::move(post->stReceiveData), get->stConnectionGuid);
            tunnel->SetPeerAddress(get->stAddress);
            if (ioSize != nullptr) {
                if (addrBuf != nullptr && *ioSize >= sizeof(SInternetAddress)) {
                    std::memcpy(addrBuf, &get->stAddress, sizeof(SInternetAddress));
                    *ioSize = sizeof(SInternetAddress);
                } else {
                    *ioSize = 0;
                }
            }
            return tunnel;
        }
    }
    if (ioSize != nullptr) *ioSize = 0;
    return nullptr;
}

void DropOpenOf(THttpTransportObj* listener) {
    auto& list = State().openList;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [listener](const auto& c) { return c->pHttpTransport == listener; }),
               list.end());
}

void AddClosing(THttpRawChannel channel) {
    if (!channel) return;
    if (!channel->Ep().IsConnected()) return;  // nothing left to finish
    channel->RouteToClosing();
    State().closeList.push_back(SClosing{std::move(channel), UClock::Milliseconds()});
    EnsureSweepTimer();
}

}  // namespace UHttpModule

// ---- public ----

namespace UHttpTransport {

void SetTimings(const SHttpTimings& timings) {
    SState& s = State();
    s.timings = timings;
    if (s.sweepTimer.IsRunning()) {
        s.sweepTimer.Stop();
        if (!s.openList.empty() || !s.closeList.empty()) EnsureSweepTimer();
    }
}

const SHttpTimings& GetTimings() { return State().timings; }

void Sweep() {
    SState& s = State();
    const std::uint64_t now = UClock::Milliseconds();
    const std::uint64_t maxAge = s.timings.connectionTime;
    s.openList.erase(std::remove_if(s.openList.begin(), s.openList.end(),
                                    [&](const auto& c) { return now - c->nConnectionTime > maxAge; }),
                     s.openList.end());
    // A closing channel whose peer never reads the last bytes is not kept past the same age.
    s.closeList.erase(std::remove_if(s.closeList.begin(), s.closeList.end(),
                                     [&](const SClosing& c) {
                                         return !c.channel->Ep().IsConnected() || now - c.since > maxAge;
                                     }),
                      s.closeList.end());
    if (s.openList.empty() && s.closeList.empty()) s.sweepTimer.Stop();
}

std::size_t GetOpenCount() { return State().openList.size(); }
std::size_t GetClosingCount() { return State().closeList.size(); }
std::size_t GetTunnelCount() {
    const auto& v = State().tunnels;
    return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](auto* t) { return !t->IsListener(); }));
}

}  // namespace UHttpTransport

}  // namespace kx
