// The two master tables of the client protocol: transaction types and field identifiers.
// Every handler and notice uses these names; the dispatch table is built from the types.
#pragma once

#include <cstdint>

namespace kx {

// Transaction types.
inline constexpr std::uint16_t kTranGetMsgs = 101;
inline constexpr std::uint16_t kTranMsgBoardPost = 102;
inline constexpr std::uint16_t kTranPostMsg = 103;
inline constexpr std::uint16_t kTranServerMsg = 104;
inline constexpr std::uint16_t kTranChatSend = 105;
inline constexpr std::uint16_t kTranChatText = 106;
inline constexpr std::uint16_t kTranLogin = 107;
inline constexpr std::uint16_t kTranSendInstantMsg = 108;
inline constexpr std::uint16_t kTranShowAgreement = 109;
inline constexpr std::uint16_t kTranDisconnectUser = 110;
inline constexpr std::uint16_t kTranServerQuitting = 111;
inline constexpr std::uint16_t kTranInviteNewChat = 112;
inline constexpr std::uint16_t kTranInviteToChat = 113;
inline constexpr std::uint16_t kTranRejectChatInvite = 114;
inline constexpr std::uint16_t kTranJoinChat = 115;
inline constexpr std::uint16_t kTranLeaveChat = 116;
inline constexpr std::uint16_t kTranChatUserChange = 117;
inline constexpr std::uint16_t kTranChatUserLeave = 118;
inline constexpr std::uint16_t kTranChatSubject = 119;
inline constexpr std::uint16_t kTranSetChatSubject = 120;
inline constexpr std::uint16_t kTranAgreed = 121;
inline constexpr std::uint16_t kTranServerBanner = 122;
inline constexpr std::uint16_t kTranGetFileNameList = 200;
inline constexpr std::uint16_t kTranDownloadFile = 202;
inline constexpr std::uint16_t kTranUploadFile = 203;
inline constexpr std::uint16_t kTranDeleteFile = 204;
inline constexpr std::uint16_t kTranNewFolder = 205;
inline constexpr std::uint16_t kTranGetFileInfo = 206;
inline constexpr std::uint16_t kTranSetFileInfo = 207;
inline constexpr std::uint16_t kTranMoveFile = 208;
inline constexpr std::uint16_t kTranMakeFileAlias = 209;
inline constexpr std::uint16_t kTranDownloadFldr = 210;
inline constexpr std::uint16_t kTranClientDownloadInfo = 211;
inline constexpr std::uint16_t kTranDownloadBanner = 212;
inline constexpr std::uint16_t kTranUploadFldr = 213;
inline constexpr std::uint16_t kTranKillDownload = 214;
inline constexpr std::uint16_t kTranGetUserNameList = 300;
inline constexpr std::uint16_t kTranClientUserInfo = 301;
inline constexpr std::uint16_t kTranClientLeft = 302;
inline constexpr std::uint16_t kTranGetClientInfoText = 303;
inline constexpr std::uint16_t kTranSetClientUserInfo = 304;
inline constexpr std::uint16_t kTranGetUserList = 348;
inline constexpr std::uint16_t kTranSetUserList = 349;
inline constexpr std::uint16_t kTranNewUser = 350;
inline constexpr std::uint16_t kTranDeleteUser = 351;
inline constexpr std::uint16_t kTranGetUser = 352;
inline constexpr std::uint16_t kTranSetUser = 353;
inline constexpr std::uint16_t kTranUserAccess = 354;
inline constexpr std::uint16_t kTranUserBroadcast = 355;
inline constexpr std::uint16_t kTranGetNewsCatNameList = 370;
inline constexpr std::uint16_t kTranGetNewsArtNameList = 371;
inline constexpr std::uint16_t kTranDelNewsFldrItem = 380;
inline constexpr std::uint16_t kTranNewNewsFldr = 381;
inline constexpr std::uint16_t kTranNewNewsCat = 382;
inline constexpr std::uint16_t kTranGetNewsArtData = 400;
inline constexpr std::uint16_t kTranPostNewsArt = 410;
inline constexpr std::uint16_t kTranDelNewsArt = 411;
inline constexpr std::uint16_t kTranKeepConnectionAlive = 500;

// Field identifiers.
inline constexpr std::uint16_t kFieldErrorText = 100;
inline constexpr std::uint16_t kFieldData = 101;
inline constexpr std::uint16_t kFieldUserName = 102;
inline constexpr std::uint16_t kFieldUserID = 103;
inline constexpr std::uint16_t kFieldIconID = 104;
inline constexpr std::uint16_t kFieldUserLogin = 105;
inline constexpr std::uint16_t kFieldUserPassword = 106;
inline constexpr std::uint16_t kFieldRefNum = 107;
inline constexpr std::uint16_t kFieldTransferSize = 108;
inline constexpr std::uint16_t kFieldChatOptions = 109;
inline constexpr std::uint16_t kFieldUserAccess = 110;
inline constexpr std::uint16_t kFieldUserAlias = 111;
inline constexpr std::uint16_t kFieldUserFlags = 112;
inline constexpr std::uint16_t kFieldOptions = 113;
inline constexpr std::uint16_t kFieldChatID = 114;
inline constexpr std::uint16_t kFieldChatSubject = 115;
inline constexpr std::uint16_t kFieldWaitingCount = 116;
inline constexpr std::uint16_t kFieldServerBannerType = 152;
inline constexpr std::uint16_t kFieldServerBannerUrl = 153;
inline constexpr std::uint16_t kFieldNoServerAgreement = 154;
inline constexpr std::uint16_t kFieldVersion = 160;
inline constexpr std::uint16_t kFieldCommunityID = 161;
inline constexpr std::uint16_t kFieldServerName = 162;
inline constexpr std::uint16_t kFieldFileNameWithInfo = 200;
inline constexpr std::uint16_t kFieldFileName = 201;
inline constexpr std::uint16_t kFieldFilePath = 202;
inline constexpr std::uint16_t kFieldFileResumeData = 203;
inline constexpr std::uint16_t kFieldFileTransferOptions = 204;
inline constexpr std::uint16_t kFieldFileTypeString = 205;
inline constexpr std::uint16_t kFieldFileCreatorString = 206;
inline constexpr std::uint16_t kFieldFileSize = 207;
inline constexpr std::uint16_t kFieldFileCreateDate = 208;
inline constexpr std::uint16_t kFieldFileModifyDate = 209;
inline constexpr std::uint16_t kFieldFileComment = 210;
inline constexpr std::uint16_t kFieldFileNewName = 211;
inline constexpr std::uint16_t kFieldFileNewPath = 212;
inline constexpr std::uint16_t kFieldFileType = 213;
inline constexpr std::uint16_t kFieldQuotedMsg = 214;
inline constexpr std::uint16_t kFieldAutomaticResponse = 215;
inline constexpr std::uint16_t kFieldFolderItemCount = 220;
inline constexpr std::uint16_t kFieldUserNameWithInfo = 300;
inline constexpr std::uint16_t kFieldNewsCatListEntry = 320;
inline constexpr std::uint16_t kFieldNewsArtListData = 321;
inline constexpr std::uint16_t kFieldNewsCatName = 322;
inline constexpr std::uint16_t kFieldNewsCatListItem = 323;
inline constexpr std::uint16_t kFieldNewsPath = 325;
inline constexpr std::uint16_t kFieldNewsArtID = 326;
inline constexpr std::uint16_t kFieldNewsArtDataFlav = 327;
inline constexpr std::uint16_t kFieldNewsArtTitle = 328;
inline constexpr std::uint16_t kFieldNewsArtPoster = 329;
inline constexpr std::uint16_t kFieldNewsArtDate = 330;
inline constexpr std::uint16_t kFieldNewsArtPrevArt = 331;
inline constexpr std::uint16_t kFieldNewsArtNextArt = 332;
inline constexpr std::uint16_t kFieldNewsArtData = 333;
inline constexpr std::uint16_t kFieldNewsArtFlags = 334;
inline constexpr std::uint16_t kFieldNewsArtParentArt = 335;
inline constexpr std::uint16_t kFieldNewsArt1stChildArt = 336;
inline constexpr std::uint16_t kFieldNewsArtRecurseDel = 337;

}  // namespace kx
