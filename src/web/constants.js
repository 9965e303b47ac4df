// The protocol's names: transaction types, field identifiers, privilege bits and user flags,
// shared by the codec, the session and the views.

export const kTranGetMsgs = 101;
export const kTranMsgBoardPost = 102;
export const kTranPostMsg = 103;
export const kTranServerMsg = 104;
export const kTranChatSend = 105;
export const kTranChatText = 106;
export const kTranLogin = 107;
export const kTranSendInstantMsg = 108;
export const kTranShowAgreement = 109;
export const kTranDisconnectUser = 110;
export const kTranServerQuitting = 111;
export const kTranInviteNewChat = 112;
export const kTranInviteToChat = 113;
export const kTranRejectChatInvite = 114;
export const kTranJoinChat = 115;
export const kTranLeaveChat = 116;
export const kTranChatUserChange = 117;
export const kTranChatUserLeave = 118;
export const kTranChatSubject = 119;
export const kTranSetChatSubject = 120;
export const kTranGetFileNameList = 200;
export const kTranDownloadFile = 202;
export const kTranUploadFile = 203;
export const kTranNewFolder = 205;
export const kTranClientDownloadInfo = 211;
export const kTranKillDownload = 214;
export const kTranGetUserNameList = 300;
export const kTranClientUserInfo = 301;
export const kTranClientLeft = 302;
export const kTranGetClientInfoText = 303;
export const kTranGetUserList = 348;
export const kTranNewUser = 350;
export const kTranDeleteUser = 351;
export const kTranGetUser = 352;
export const kTranSetUser = 353;
export const kTranUserAccess = 354;
export const kTranUserBroadcast = 355;
export const kTranGetNewsCatNameList = 370;
export const kTranGetNewsArtNameList = 371;
export const kTranGetNewsArtData = 400;
export const kTranPostNewsArt = 410;

export const kFieldErrorText = 100;
export const kFieldData = 101;
export const kFieldUserName = 102;
export const kFieldUserID = 103;
export const kFieldIconID = 104;
export const kFieldUserLogin = 105;
export const kFieldUserPassword = 106;
export const kFieldRefNum = 107;
export const kFieldTransferSize = 108;
export const kFieldChatOptions = 109;
export const kFieldUserAccess = 110;
export const kFieldUserFlags = 112;
export const kFieldOptions = 113;
export const kFieldChatID = 114;
export const kFieldChatSubject = 115;
export const kFieldWaitingCount = 116;
export const kFieldNoServerAgreement = 154;
export const kFieldVersion = 160;
export const kFieldServerName = 162;
export const kFieldFileNameWithInfo = 200;
export const kFieldFileName = 201;
export const kFieldFilePath = 202;
export const kFieldUserNameWithInfo = 300;
export const kFieldNewsCatListEntry = 320;
export const kFieldNewsArtListData = 321;
export const kFieldNewsCatListItem = 323;
export const kFieldNewsPath = 325;
export const kFieldNewsArtID = 326;
export const kFieldNewsArtDataFlav = 327;
export const kFieldNewsArtTitle = 328;
export const kFieldNewsArtPoster = 329;
export const kFieldNewsArtDate = 330;
export const kFieldNewsArtPrevArt = 331;
export const kFieldNewsArtNextArt = 332;
export const kFieldNewsArtData = 333;
export const kFieldNewsArtParentArt = 335;
export const kFieldNewsArt1stChildArt = 336;

// The version the page announces at login. At 15 and above the server lists news bundles and
// categories in their long form, with counts.
export const kClientVersion = 190;

// Privilege bits (bit 0 is the most significant bit of the first access byte) with the words
// the account editor shows for them.
export const myAcc_CreateUsers = 14;
export const myAcc_DeleteUsers = 15;
export const myAcc_OpenUsers = 16;
export const myAcc_DisconnectUsers = 22;
export const myAcc_GetClientInfo = 24;
export const myAcc_Broadcast = 32;

export const kPrivilegeNames = [
  [0, 'Delete files'], [1, 'Upload files'], [2, 'Download files'], [3, 'Rename files'],
  [4, 'Move files'], [5, 'Create folders'], [6, 'Delete folders'], [7, 'Rename folders'],
  [8, 'Move folders'], [9, 'Read chat'], [10, 'Send chat'], [11, 'Open private chats'],
  [14, 'Create accounts'], [15, 'Delete accounts'], [16, 'Read accounts'], [17, 'Modify accounts'],
  [20, 'Read news'], [21, 'Post news'], [22, 'Disconnect users'], [23, 'Cannot be disconnected'],
  [24, 'Get user information'], [25, 'Upload anywhere'], [26, 'Use any name'],
  [27, 'Skip the agreement'], [28, 'Comment files'], [29, 'Comment folders'],
  [30, 'View drop boxes'], [31, 'Make aliases'], [32, 'Broadcast'], [33, 'Delete articles'],
  [34, 'Create news categories'], [35, 'Delete news categories'], [36, 'Create news bundles'],
  [37, 'Delete news bundles'], [38, 'Upload folders'], [39, 'Download folders'],
  [40, 'Send private messages'],
];

// User status flags of user-list entries and user notices.
export const kUserAway = 0x01;
export const kUserAdmin = 0x02;
export const kUserRefusesMessages = 0x04;
export const kUserRefusesChats = 0x08;

// Instant-message kinds (kFieldOptions of kTranSendInstantMsg and of its delivery).
export const kMsgPlain = 1;
export const kMsgAutomaticResponse = 4;

// Transfer types of the 16-byte transfer header.
export const kTransferFile = 0;
