// Orvex resources: the numbers of the string table entries and dialog templates.
//
// The numbers are part of the resource layout shared by all five languages; callers name them through
// these constants rather than spelling numbers.
#ifndef QUENVAR_APP_RESOURCES_STRING_IDS_H_
#define QUENVAR_APP_RESOURCES_STRING_IDS_H_

#include <cstdint>

namespace quenvar::app::ids {

// String table.
inline constexpr uint32_t kAboutMenu = 101;
// The main dialog's context menu entry choosing the quick verify mode.
inline constexpr uint32_t kQuickVerifyMenu = 102;
inline constexpr uint32_t kBootProgramTooLargeForUsb = 103;
inline constexpr uint32_t kColumnTitle = 15000;
inline constexpr uint32_t kColumnMediaSet = 15001;
inline constexpr uint32_t kColumnStatus = 15002;
inline constexpr uint32_t kUnexpectedErrorRestart = 15003;
inline constexpr uint32_t kErrorLine = 15004;
inline constexpr uint32_t kSenseRecording = 15005;
inline constexpr uint32_t kSenseNotReady = 15006;
inline constexpr uint32_t kSenseReading = 15007;
inline constexpr uint32_t kSenseReinitialized = 15008;
inline constexpr uint32_t kSenseIncompatible = 15009;
inline constexpr uint32_t kSenseFormatting = 15010;
inline constexpr uint32_t kSenseNoMedium = 15011;
inline constexpr uint32_t kSensePowerCalibration = 15012;
inline constexpr uint32_t kUnexpectedError = 15013;
inline constexpr uint32_t kStatusRecording = 15016;
inline constexpr uint32_t kStatusVerifying = 15017;
inline constexpr uint32_t kStatusError = 15018;
inline constexpr uint32_t kOleFailed = 15019;
inline constexpr uint32_t kAnotherUser = 15021;
inline constexpr uint32_t kNoRecorder = 15022;
inline constexpr uint32_t kErrorCaption = 15023;
inline constexpr uint32_t kAskQuickErase = 15024;
inline constexpr uint32_t kAskFullErase = 15025;
inline constexpr uint32_t kInsertBlankMediaList = 15026;
inline constexpr uint32_t kCannotRecordMedia = 15027;
inline constexpr uint32_t kCannotCloseDrive = 15028;
inline constexpr uint32_t kEraseFailed = 15029;
inline constexpr uint32_t kAskCancelErase = 15030;
inline constexpr uint32_t kEraseIssue = 15031;
inline constexpr uint32_t kOpenFileFailed = 15032;
inline constexpr uint32_t kRecordIssue = 15033;
inline constexpr uint32_t kNowVerifying = 15034;
inline constexpr uint32_t kNowCreatingLine = 15035;
inline constexpr uint32_t kPleaseWait = 15037;
inline constexpr uint32_t kVerifyIssue = 15038;
inline constexpr uint32_t kCreatedSuccessfully = 15039;
inline constexpr uint32_t kWillBeCreatedNow = 15040;
inline constexpr uint32_t kAskCancelProcess = 15041;
inline constexpr uint32_t kAskCancelRecording = 15042;
inline constexpr uint32_t kNowCreatingCaption = 15043;
inline constexpr uint32_t kFailedToCreate = 15045;
inline constexpr uint32_t kAllCancelled = 15046;
inline constexpr uint32_t kAllCompleted = 15047;
inline constexpr uint32_t kBootImageNameClash = 15048;
inline constexpr uint32_t kAskCancelThisProcess = 15049;
inline constexpr uint32_t kReadFileFailed = 15050;
inline constexpr uint32_t kFilesDiffer = 15051;
inline constexpr uint32_t kSourcePath = 15052;
inline constexpr uint32_t kTargetPath = 15053;
inline constexpr uint32_t kShutdownRefused = 15054;
inline constexpr uint32_t kAdministratorRequired = 15058;
inline constexpr uint32_t kInsertBlankMedia = 15059;
inline constexpr uint32_t kCountCd = 15060;
inline constexpr uint32_t kCountDvd = 15061;
inline constexpr uint32_t kCountDvdDl = 15062;
inline constexpr uint32_t kSelectMedia = 15063;
inline constexpr uint32_t kWriteDownTitle = 15064;
inline constexpr uint32_t kWillNowBeCreated = 15065;
inline constexpr uint32_t kOnBattery = 15066;
inline constexpr uint32_t kNowCancelling = 15067;
inline constexpr uint32_t kCompareFailed = 15068;
inline constexpr uint32_t kCannotStartNoRecorder = 15069;
inline constexpr uint32_t kCountHdDvd = 15070;
inline constexpr uint32_t kCountHdDvdDl = 15071;
inline constexpr uint32_t kUsbMassStorage = 15072;
inline constexpr uint32_t kUsbMediaLine = 15073;
inline constexpr uint32_t kInsertUsbThenCreate = 15074;
inline constexpr uint32_t kAskFormatUsb = 15075;
inline constexpr uint32_t kFormatFailed = 15076;
inline constexpr uint32_t kInsertUsb = 15077;
inline constexpr uint32_t kEntryLeavesFolder = 15090;
inline constexpr uint32_t kNotDiscImage = 15091;
inline constexpr uint32_t kAppTitle = 57344;

// Dialog templates.
inline constexpr uint16_t kDlgMessageBox = 0;  // the buttons of plain message boxes
inline constexpr uint16_t kDlgAbout = 100;
inline constexpr uint16_t kDlgWait = 101;
inline constexpr uint16_t kDlgMain = 102;
inline constexpr uint16_t kDlgPanel = 103;
inline constexpr uint16_t kDlgErase = 143;
inline constexpr uint16_t kDlgSelNextProc = 144;
inline constexpr uint16_t kDlgFileProgress = 145;
inline constexpr uint16_t kDlgSelectDrive = 146;
inline constexpr uint16_t kDlgCancel = 147;
inline constexpr uint16_t kDlgSelectFlashMemory = 157;

// Dialog items. 0 is the window title; buttons use the command ids.
inline constexpr uint16_t kItemTitle = 0;
inline constexpr uint16_t kItemOk = 1;
inline constexpr uint16_t kItemCancel = 2;
inline constexpr uint16_t kItemYes = 6;
inline constexpr uint16_t kItemNo = 7;
inline constexpr uint16_t kItemWaitText = 1000;
inline constexpr uint16_t kItemCreate = 1001;
inline constexpr uint16_t kItemVerify = 1002;
inline constexpr uint16_t kItemCurrentMedia = 1008;
inline constexpr uint16_t kItemTotalProgress = 1009;
inline constexpr uint16_t kItemInformation = 1010;
inline constexpr uint16_t kItemMediaSelection = 1011;
inline constexpr uint16_t kItemHeaderTitle = 1012;
inline constexpr uint16_t kItemHeaderDescription = 1013;
inline constexpr uint16_t kItemRetry = 1021;
inline constexpr uint16_t kItemNext = 1022;
inline constexpr uint16_t kItemFailedLine = 1024;
inline constexpr uint16_t kItemCancelText = 1026;
inline constexpr uint16_t kItemVersion = 1031;
// Fixed texts of a template that have no control id of their own, in reading order.
inline constexpr uint16_t kStaticText1 = 1101;
inline constexpr uint16_t kStaticText2 = 1102;
inline constexpr uint16_t kStaticText3 = 1103;

}  // namespace quenvar::app::ids

#endif  // QUENVAR_APP_RESOURCES_STRING_IDS_H_
