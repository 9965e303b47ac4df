// ProcessClients: intake from the client listeners, handshakes, admission with the
// per-address and connection-flood rules, and the requests of every client that has something
// to say. Only clients whose connection posted a notice, or whose time-out is due, are visited,
// so a pass costs nothing per idle client; deadlines live in mDeadlines (due second -> userID).
#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "framework/clock.h"
#include "framework/event_loop.h"
#include "net/send_queue.h"
#include "protocol/transact_fanout.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

// Output a pass may hand over before it is written (memory of queued entries and copied bytes):
// a burst of lines to thousands of clients is written in slices instead of being held whole.
constexpr std::size_t kPassOutputBudget = 16u * 1024 * 1024;
// Output a pass may hand over before the allocator is asked to give freed memory back after it.
constexpr std::size_t kTrimAfterOutput = 4u * 1024 * 1024;
// How long departure notices may wait for the closes still being reported (a mass departure's
// closes arrive one batch of ready descriptors per iteration: 10,000 take some 40 iterations).
constexpr std::uint64_t kMaxDeparturesHeldMs = 250;

}  // namespace

void CMyApplication::ProcessClients() {
    if (mTrimDue) {
        mTrimDue = false;
        malloc_trim(0);
    }
    const std::uint32_t now = UClock::UpSeconds();
    StFieldData fields;

    // Accept from the plain listener first, then from the tunnel, the TLS and the web listeners,
    // until none has one.
    for (;;) {
        const std::size_t before = mConnectList.size();
        if (mListeners.mListenTpt) AcceptConnections(mListeners.mListenTpt.get());
        if (mListeners.mListenHttpTpt) AcceptConnections(mListeners.mListenHttpTpt.get());
        if (mListeners.mListenTlsTpt) AcceptConnections(mListeners.mListenTlsTpt.get());
        if (mListeners.mListenWebTpt) AcceptConnections(mListeners.mListenWebTpt.get());
        if (mConnectList.size() == before) break;
    }

    ProcessHandshakes(now);
    CollectDueClients(now);

    // Clients with something to do. Handlers may notify further clients (a disconnect), which
    // are then visited by the next pass.
    std::vector<std::uint16_t> visit;
    visit.swap(mNotifiedClients);
    for (std::uint16_t id : visit) {
        SMyClient* client = GetClientByID(id);
        if (!client || !client->notified) continue;
        client->notified = false;
        try {
            ProcessOneClient(client, now, fields);
        } catch (const SError& err) {
            Error(err);
        }
    }
    // The pass's last run of chat lines goes to the queues before they are written.
    TTransactFanOut::HandOver();

    if (!mDepartedIDs.empty()) AnnounceDepartures();
    if (CEventLoop::Get().WrittenBehind() > kTrimAfterOutput) TrimAfterFlush();
    if (mIsQuitting && mClientList.empty()) Quit();
}

void CMyApplication::AcceptConnections(TTransactObj* listener) {
    for (;;) {
        SInternetAddress addr{};
        std::uint32_t size = sizeof addr;
        TTransact tpt = listener->Accept(&addr, &size);
        if (!tpt) return;
        if (mIsQuitting) {
            tpt->Disconnect();
            continue;  // disposed here: the farewell is under way
        }
        auto connect = std::make_unique<SMyConnect>();
        connect->ipAddress = size >= 12 ? GetBE32(addr.host) : 0;
        connect->acceptSecs = UClock::UpSeconds();
        mStats.Accepted(listener == mListeners.mListenTpt.get()      ? EMyListener::kPlain
                        : listener == mListeners.mListenTlsTpt.get() ? EMyListener::kTls
                        : listener == mListeners.mListenWebTpt.get() ? EMyListener::kWeb
                                                                     : EMyListener::kTunnel);
        SMyConnect* raw = connect.get();
        tpt->SetMessageHandler([this, raw](std::uint32_t code, void* object) {
            raw->notified = true;
            HandleMessage(code, object);
        });
        connect->tpt = std::move(tpt);
        mConnectList.push_back(std::move(connect));
    }
}

void CMyApplication::ProcessHandshakes(std::uint32_t now) {
    for (std::size_t i = 0; i < mConnectList.size();) {
        SMyConnect* c = mConnectList[i].get();
        TTransactObj* tpt = c->tpt.get();
        bool drop = false;
        // A connection that never completes its handshake is closed after a while; otherwise
        // silent sockets would pile up without bound.
        const bool expired = now - c->acceptSecs > mTimeRules.handshakeWait;
        if (!tpt->IsConnected()) {
            drop = true;
        } else if (c->closing || tpt->IsDisconnecting()) {
            if (expired) drop = true;
        } else if (!c->notified && !expired) {
            // Nothing arrived since the last visit.
        } else {
            c->notified = false;
            std::uint8_t subProtocol[4] = {0, 0, 0, 0};
            std::uint16_t subVersion = 0;
            const int result = tpt->ReceiveEstablish(subProtocol, subVersion);
            if (result == 0) {
                if (expired) drop = true;
            } else if (result == 2 || result == 3) {
                Log(c->ipAddress, "Killed unknown protocol!");
                drop = true;
            } else if (std::memcmp(subProtocol, "KSTX", 4) != 0 || (subVersion != 2 && subVersion != 3)) {
                tpt->RejectEstablish(1);
                tpt->StartDisconnect();
                char text[64];
                std::snprintf(text, sizeof text, "Incompatible version (%.4s%hu)",
                              reinterpret_cast<const char*>(subProtocol), subVersion);
                Log(c->ipAddress, text);
            } else {
                tpt->AcceptEstablish();
                // Notices the endpoint still has queued reach the connection's handler as it is
                // when they are delivered: the admitted client's, not the record freed below.
                TTransact owned = std::move(mConnectList[i]->tpt);
                const std::uint32_t address = c->ipAddress;
                mConnectList.erase(mConnectList.begin() + static_cast<std::ptrdiff_t>(i));
                if (subVersion == 2) {
                    AdmitClient(std::move(owned), address, now);
                } else {
                    // A transfer connection that arrived on the client port.
                    TTransport transport = owned->SetTransport(nullptr);
                    owned.reset();
                    transport->SetMessageHandler([this](std::uint32_t code, void* object) { HandleMessage(code, object); });
                    mTransfers.mTransferEstabList.push_back(std::move(transport));
                }
                continue;
            }
        }
        if (drop) {
            mConnectList.erase(mConnectList.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

void CMyApplication::AdmitClient(TTransact tpt, std::uint32_t address, std::uint32_t now) {
    // Refused connections are closed gracefully so the accepted handshake reply still arrives;
    // they wait in the pending list until the close completes.
    auto closeGracefully = [&](TTransact t) {
        t->StartDisconnect();
        auto connect = std::make_unique<SMyConnect>();
        connect->ipAddress = address;
        connect->acceptSecs = now;
        connect->closing = true;
        connect->notified = false;
        SMyConnect* raw = connect.get();
        t->SetMessageHandler([this, raw](std::uint32_t code, void* object) {
            raw->notified = true;
            HandleMessage(code, object);
        });
        connect->tpt = std::move(t);
        mConnectList.push_back(std::move(connect));
    };

    if (mOptions.nMaxConnectionsIP != 0 && GetClientAddressCount(address) >= mOptions.nMaxConnectionsIP) {
        closeGracefully(std::move(tpt));
        return;
    }
    if (address == mLastConnectAddress) {
        ++mLastConnectCount;
        if (mLastConnectCount > mTimeRules.floodLimit && now - mLastConnectTime < mTimeRules.floodWindow) {
            AddTempBan(address);
            Log(address, "Autobanned for flooding");
            closeGracefully(std::move(tpt));
            return;
        }
    } else {
        mLastConnectAddress = address;
        mLastConnectTime = now;
        mLastConnectCount = 0;
    }

    auto client = std::make_unique<SMyClient>();
    client->activitySecs = now;
    client->lastMsgSecs = now;
    client->ipAddress = address;
    ResolveClientRoots(client.get());  // the shared trees until a login names an account
    // After the counter wraps, skip ids still held by long-lived clients: two clients with one
    // id would receive each other's messages.
    do {
        ++mUserIDCounter;
        if (mUserIDCounter == 0) ++mUserIDCounter;
    } while (mClientsByID.count(mUserIDCounter) != 0);
    client->userID = mUserIDCounter;
    const std::uint16_t id = client->userID;
    tpt->SetMessageHandler([this, id](std::uint32_t code, void* object) {
        if (SMyClient* c = GetClientByID(id); c && !c->notified) {
            c->notified = true;
            mNotifiedClients.push_back(id);
        }
        HandleMessage(code, object);
    });
    client->tpt = std::move(tpt);
    SMyClient* raw = client.get();
    mClientList.push_back(std::move(client));
    mClientsByID[id] = std::prev(mClientList.end());
    ++mAddressCounts[address];

    mStats.ClientAdmitted();
    Log(raw, "Connection established");
    UpdateDisplay();
    mErrorCount = 0;
    mResetCount = 0;

    // Requests may already be waiting behind the handshake.
    raw->notified = true;
    mNotifiedClients.push_back(id);
    PostPass();
}

void CMyApplication::ProcessOneClient(SMyClient* client, std::uint32_t now, TFieldDataObj fields) {
    TTransactObj* tpt = client->tpt.get();
    if (!tpt->IsConnected()) {
        Log(client, "Connection closed");
        KillClient(client);
        return;
    }
    if (tpt->IsDisconnecting()) return;

    if (client->loginFailedSecs != 0) {
        if (now - client->loginFailedSecs > mTimeRules.loginFailedWait) tpt->Disconnect();
        else ScheduleClient(client);
        return;
    }

    while (TTransactSession session = tpt->NewReceiveSession(0, kReceiveCompleteOnly)) {
        if (now - client->nofloodTranSecs > mTimeRules.requestWindow || client->nofloodTranSecs == 0) {
            client->nofloodTranSecs = now;
            client->nofloodTranCount = 0;
        }
        if (client->nofloodTranCount > mTimeRules.requestLimit) {
            tpt->Disconnect();
            AddTempBan(client->ipAddress);
            Log(client, "Autobanned for flooding");
            return;
        }
        ++client->nofloodTranCount;
        SetClientAway(client, false);
        client->activitySecs = now;

        session->ReceiveData(fields);
        const std::uint16_t type = session->GetReceiveType();
        try {
            if (!client->hasLoggedIn) {
                if (type == kTranLogin || type == kTranAgreed) {
                    Dispatch(client, session.get(), fields);
                } else {
                    tpt->Disconnect();
                    return;
                }
            } else if (type == kTranLogin || type == kTranAgreed) {
                ProcessTran_Unknown(client, session.get(), fields);
            } else {
                Dispatch(client, session.get(), fields);
            }
        } catch (const SError& err) {
            Error(err);
        }
        // Only public chat lines gather into a run: any other request may change who reads
        // chat without sending anything.
        if (type != kTranChatSend) TTransactFanOut::HandOver();
        FlushIfHeavy();
        // A handler may have dropped this client (a ban, a failed login): read no further.
        if (!tpt->IsConnected() || tpt->IsDisconnecting() || client->loginFailedSecs != 0) {
            ScheduleClient(client);
            return;
        }
    }

    if (!client->hasLoggedIn) {
        if (now - client->activitySecs > mTimeRules.loginIdle) {
            tpt->Disconnect();
            return;
        }
    } else if (now - client->activitySecs > mTimeRules.awayIdle) {
        SetClientAway(client, true);
    }
    ScheduleClient(client);
}

void CMyApplication::ScheduleClient(SMyClient* client) {
    std::uint32_t due = 0;
    if (client->loginFailedSecs != 0) due = client->loginFailedSecs + mTimeRules.loginFailedWait + 1;
    else if (!client->hasLoggedIn) due = client->activitySecs + mTimeRules.loginIdle + 1;
    else if (!client->isAway) due = client->activitySecs + mTimeRules.awayIdle + 1;
    if (due == client->scheduledCheck) return;
    if (client->scheduledCheck != 0) {
        auto range = mDeadlines.equal_range(client->scheduledCheck);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == client->userID) {
                mDeadlines.erase(it);
                break;
            }
        }
    }
    client->scheduledCheck = due;
    if (due != 0) mDeadlines.emplace(due, client->userID);
}

void CMyApplication::CollectDueClients(std::uint32_t now) {
    while (!mDeadlines.empty() && mDeadlines.begin()->first <= now) {
        const auto [due, id] = *mDeadlines.begin();
        mDeadlines.erase(mDeadlines.begin());
        SMyClient* client = GetClientByID(id);
        if (!client || client->scheduledCheck != due) continue;
        client->scheduledCheck = 0;
        if (!client->notified) {
            client->notified = true;
            mNotifiedClients.push_back(id);
        }
    }
}

// Constant work per departure: the record is unlinked through its index entry, and the notice to
// the others waits for the end of the pass (AnnounceDepartures), so that when many leave at
// once nobody is told of a departure after its own connection is known to be gone.
void CMyApplication::KillClient(SMyClient* client) {
    const std::uint16_t id = client->userID;
    auto found = mClientsByID.find(id);
    if (found == mClientsByID.end() || found->second->get() != client) return;
    std::unique_ptr<SMyClient> owned = std::move(*found->second);
    mClientList.erase(found->second);
    mClientsByID.erase(found);
    if (auto a = mAddressCounts.find(owned->ipAddress); a != mAddressCounts.end() && --a->second == 0)
        mAddressCounts.erase(a);
    if (owned->scheduledCheck != 0) {
        auto range = mDeadlines.equal_range(owned->scheduledCheck);
        for (auto d = range.first; d != range.second; ++d) {
            if (d->second == id) {
                mDeadlines.erase(d);
                break;
            }
        }
    }
    owned->tpt.reset();
    mStats.ClientKilled();
    LeaveAllChats(owned.get());
    mDepartedIDs.push_back(id);
    UpdateDisplay();
}

// The closes of a mass departure (a network cut, a quit of many) reach the loop one batch of
// ready descriptors at a time; while a batch came back full, more closes are probably waiting,
// so the notices wait for them (a quarter of a second at most). Then each departure is one
// shared block, queued to every client still reachable.
void CMyApplication::AnnounceDepartures() {
    const std::uint64_t now = UClock::Milliseconds();
    if (mDeparturesHeldSince == 0) mDeparturesHeldSince = now;
    if (CEventLoop::Get().MoreReadyPending() && now - mDeparturesHeldSince < kMaxDeparturesHeldMs) {
        PostPass();
        return;
    }
    mDeparturesHeldSince = 0;
    std::vector<TSharedBlock> notices;
    notices.reserve(mDepartedIDs.size());
    for (std::uint16_t id : mDepartedIDs) {
        StFieldData fields;
        UFieldData::AddInteger(fields, kFieldUserID, id);
        notices.push_back(TTransactObj::ShareData(fields));
    }
    std::vector<std::uint16_t>().swap(mDepartedIDs);
    for (const auto& client : mClientList) {
        if (!client->hasLoggedIn || !IsReachable(client.get())) continue;
        for (const TSharedBlock& notice : notices) client->tpt->SendTransaction(kTranClientLeft, notice);
        FlushIfHeavy();  // many departures to many clients are written in slices too
    }
}

void CMyApplication::FlushIfHeavy() {
    CEventLoop& loop = CEventLoop::Get();
    if (loop.WrittenBehind() <= kPassOutputBudget) return;
    loop.FlushNow();
    TrimAfterFlush();
}

// The queues' memory is freed as the sockets take it, but the allocator keeps the pages: a burst
// to 5,000 clients left 20 MB resident for good, 1,000 logins 3 MB. The next pass gives them
// back, once this iteration's last flush has freed what it wrote.
void CMyApplication::TrimAfterFlush() {
    if (mTrimDue) return;
    mTrimDue = true;
    PostPass();
}

SMyClient* CMyApplication::GetClientByID(std::uint16_t userID) const {
    auto it = mClientsByID.find(userID);
    return it == mClientsByID.end() ? nullptr : it->second->get();
}

std::uint32_t CMyApplication::GetClientAddressCount(std::uint32_t address) const {
    auto it = mAddressCounts.find(address);
    return it == mAddressCounts.end() ? 0 : it->second;
}

void CMyApplication::BroadcastTran(std::uint16_t type, TFieldDataObj fields) {
    const TSharedBlock block = TTransactObj::ShareData(fields);
    for (const auto& client : mClientList) {
        if (client->hasLoggedIn && IsReachable(client.get())) client->tpt->SendTransaction(type, block);
    }
}

}  // namespace kx

namespace kx {

void CMyApplication::MarkLoginFailed(SMyClient* client) {
    ++mStats.loginsRefused;
    client->loginFailedSecs = UClock::UpSeconds();
    if (client->loginFailedSecs == 0) client->loginFailedSecs = 1;  // 0 means "none"
    ScheduleClient(client);
}

void CMyApplication::SetClientAway(SMyClient* client, bool away) {
    // Only a change is announced: every request calls this with false.
    if (client->isAway == away) return;
    client->isAway = away;
    BroadcastClientUserInfo(client);
}

}  // namespace kx
