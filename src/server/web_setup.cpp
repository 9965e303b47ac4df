// The application's web listener: the extended options that govern it ("web", "web_port",
// "trusted_proxies"), the files it serves (built into the program, overridden by a "Web" folder
// in the program folder), opening it beside the other listeners with the TLS context when TLS is
// on, and the reload. A port it cannot have is logged; the other listeners serve on.
#include "admin/ip_range.h"
#include "framework/error.h"
#include "framework/file_util.h"
#include "net/web_listener.h"
#include "server/application.h"
#include "server/web_assets.h"

namespace kx {

namespace {

constexpr std::uint16_t kWebPortOffset = 7;
constexpr const char* kWebFolderName = "Web";

std::vector<UWebRequest::SAddressRange> TrustedProxies(const std::string& text) {
    std::vector<std::pair<SIPAddress, SIPAddress>> ranges;
    std::string shown;
    IPrangeListFromString(text, ranges, shown);  // checked when it was set
    std::vector<UWebRequest::SAddressRange> out;
    for (const auto& [first, last] : ranges) out.push_back({first.AsHostOrder(), last.AsHostOrder()});
    return out;
}

std::shared_ptr<const CWebContent> LoadWebContent(const std::string& folder, CMyLog& log) {
    auto content = std::make_shared<CWebContent>();
    for (std::size_t i = 0; i < kWebAssetCount; ++i) {
        const SWebAsset& a = kWebAssets[i];
        content->Add(a.path, std::string_view(reinterpret_cast<const char*>(a.data), a.size));
    }
    if (UFileUtil::IsDirectory(folder)) {
        for (const std::string& note : content->AddFolder(folder)) log.LogText("Web", "Web folder: " + note);
        log.LogText("Web", "Serving the Web folder over the built-in files");
    }
    return content;
}

}  // namespace

void CMyApplication::OpenWebListener(std::uint16_t base) {
    if (!mExtOptions.Switch("web", true)) return;
    const std::uint32_t set = mExtOptions.Port("web_port", static_cast<std::uint16_t>(0));
    const std::uint32_t port = set != 0 ? set : base + kWebPortOffset;
    if (port > 65535) {
        mLogger.LogText("Web", "Web client is off: the base port leaves no room for port + 7; set web_port");
        return;
    }
    SWebSettings settings;
    settings.content = LoadWebContent(ProgramPath(kWebFolderName), mLogger);
    settings.tls = mListeners.mTlsContext;
    settings.trustedProxies = TrustedProxies(mExtOptions.Get("trusted_proxies").value_or(""));
    auto listener = std::make_shared<CWebListener>(std::move(settings));
    try {
        listener->Listen(mOptions.stIPAddress, static_cast<std::uint16_t>(port));
    } catch (const SError& err) {
        mLogger.LogText("Web", "Web client is off: cannot listen on port " + std::to_string(port) + ": " +
                                   UError::GetMessage(err));
        return;
    }
    auto handler = [this](std::uint32_t code, void* object) { HandleMessage(code, object); };
    mListeners.mWebListener = listener;
    mListeners.mListenWebTpt = std::make_unique<TTransactObj>(CWebListener::NewFace(listener, CWebListener::EPath::kSession));
    mListeners.mListenWebTpt->SetMessageHandler(handler);
    mListeners.mTransferListenWebTpt = CWebListener::NewFace(listener, CWebListener::EPath::kTransfer);
    mListeners.mTransferListenWebTpt->SetMessageHandler(handler);
    const std::string where = std::to_string(port) + "/";
    mLogger.LogText("Web", "Web client at http://localhost:" + where +
                               (mListeners.mTlsContext ? " and https://localhost:" + where : std::string()));
}

void CMyApplication::ReloadWeb() {
    if (mListeners.mWebListener) mListeners.mWebListener->SetContent(LoadWebContent(ProgramPath(kWebFolderName), mLogger));
}

std::uint16_t CMyApplication::WebPort() const { return mListeners.mWebListener ? mListeners.mWebListener->Port() : 0; }

}  // namespace kx
