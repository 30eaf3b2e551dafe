// The MMC vocabulary the engine speaks: command operation codes, profile numbers, feature codes,
// sense keys and additional sense codes, and the offsets of the answer fields the engine reads
// (READ DISC INFORMATION, READ TRACK INFORMATION, READ TOC/PMA/ATIP, GET CONFIGURATION, fixed
// format sense data). Every number the engine sends to a drive or looks for in an answer is named
// here once; the command builders, the media rules and the image code use these names.
//
// Multi-byte fields of answers are big-endian. Offsets count from the first byte of the answer
// (its length field). Plain constants, so that they compare and switch against the integer types
// the C interface carries.
#ifndef QUILLDEN_DRIVE_MMC_VOCABULARY_H_
#define QUILLDEN_DRIVE_MMC_VOCABULARY_H_

#include <cstdint>

namespace quillden::drive::mmc {

// Operation codes.
inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpRequestSense = 0x03;
inline constexpr uint8_t kOpFormatUnit = 0x04;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpModeSelect6 = 0x15;
inline constexpr uint8_t kOpStartStopUnit = 0x1B;
inline constexpr uint8_t kOpPreventAllowMediumRemoval = 0x1E;
inline constexpr uint8_t kOpReadFormatCapacities = 0x23;
inline constexpr uint8_t kOpReadCapacity = 0x25;
inline constexpr uint8_t kOpRead10 = 0x28;
inline constexpr uint8_t kOpWrite10 = 0x2A;
inline constexpr uint8_t kOpSeek10 = 0x2B;
inline constexpr uint8_t kOpWriteAndVerify10 = 0x2E;
inline constexpr uint8_t kOpSynchronizeCache = 0x35;
inline constexpr uint8_t kOpReadToc = 0x43;
inline constexpr uint8_t kOpGetConfiguration = 0x46;
inline constexpr uint8_t kOpGetEventStatusNotification = 0x4A;
inline constexpr uint8_t kOpReadDiscInformation = 0x51;
inline constexpr uint8_t kOpReadTrackInformation = 0x52;
inline constexpr uint8_t kOpReserveTrack = 0x53;
inline constexpr uint8_t kOpSendOpcInformation = 0x54;
inline constexpr uint8_t kOpModeSelect10 = 0x55;
inline constexpr uint8_t kOpModeSense10 = 0x5A;
inline constexpr uint8_t kOpCloseTrackSession = 0x5B;
inline constexpr uint8_t kOpSendCueSheet = 0x5D;
inline constexpr uint8_t kOpBlank = 0xA1;
inline constexpr uint8_t kOpWrite12 = 0xAA;
inline constexpr uint8_t kOpGetPerformance = 0xAC;
inline constexpr uint8_t kOpReadDiscStructure = 0xAD;
inline constexpr uint8_t kOpSetStreaming = 0xB6;
inline constexpr uint8_t kOpSetCdSpeed = 0xBB;
inline constexpr uint8_t kOpReadCd = 0xBE;
inline constexpr uint8_t kOpSendDiscStructure = 0xBF;

// Profile numbers (the current profile of GET CONFIGURATION and the profile list's entries).
inline constexpr uint16_t kProfileNone = 0x0000;
inline constexpr uint16_t kProfileCdRom = 0x0008;
inline constexpr uint16_t kProfileCdR = 0x0009;
inline constexpr uint16_t kProfileCdRw = 0x000A;
inline constexpr uint16_t kProfileDvdRom = 0x0010;
inline constexpr uint16_t kProfileDvdMinusR = 0x0011;  // sequential recording
inline constexpr uint16_t kProfileDvdRam = 0x0012;
inline constexpr uint16_t kProfileDvdMinusRwOverwrite = 0x0013;  // restricted overwrite
inline constexpr uint16_t kProfileDvdMinusRwSequential = 0x0014;
inline constexpr uint16_t kProfileDvdMinusRDlSequential = 0x0015;
inline constexpr uint16_t kProfileDvdMinusRDlJump = 0x0016;  // layer jump recording
inline constexpr uint16_t kProfileDvdPlusRw = 0x001A;
inline constexpr uint16_t kProfileDvdPlusR = 0x001B;
inline constexpr uint16_t kProfileDdcdRom = 0x0020;
inline constexpr uint16_t kProfileDdcdR = 0x0021;
inline constexpr uint16_t kProfileDdcdRw = 0x0022;
inline constexpr uint16_t kProfileDvdPlusRwDl = 0x002A;
inline constexpr uint16_t kProfileDvdPlusRDl = 0x002B;
inline constexpr uint16_t kProfileBdRom = 0x0040;
inline constexpr uint16_t kProfileBdRSequential = 0x0041;  // SRM
inline constexpr uint16_t kProfileBdRRandom = 0x0042;      // RRM
inline constexpr uint16_t kProfileBdRe = 0x0043;
inline constexpr uint16_t kProfileHdDvdRom = 0x0050;
inline constexpr uint16_t kProfileHdDvdR = 0x0051;
inline constexpr uint16_t kProfileHdDvdRam = 0x0052;
inline constexpr uint16_t kProfileHdDvdRw = 0x0053;
inline constexpr uint16_t kProfileHdDvdRDl = 0x0058;
inline constexpr uint16_t kProfileHdDvdRwDl = 0x005A;

// Feature codes of GET CONFIGURATION.
inline constexpr uint16_t kFeatureProfileList = 0x0000;
inline constexpr uint16_t kFeatureCore = 0x0001;
inline constexpr uint16_t kFeatureMorphing = 0x0002;
inline constexpr uint16_t kFeatureRemovableMedium = 0x0003;
inline constexpr uint16_t kFeatureRandomReadable = 0x0010;
inline constexpr uint16_t kFeatureMultiRead = 0x001D;
inline constexpr uint16_t kFeatureCdRead = 0x001E;
inline constexpr uint16_t kFeatureDvdRead = 0x001F;
inline constexpr uint16_t kFeatureRandomWritable = 0x0020;
inline constexpr uint16_t kFeatureIncrementalStreamingWritable = 0x0021;
inline constexpr uint16_t kFeatureFormattable = 0x0023;
inline constexpr uint16_t kFeatureRestrictedOverwrite = 0x0026;
inline constexpr uint16_t kFeatureDvdPlusRw = 0x002A;
inline constexpr uint16_t kFeatureDvdPlusR = 0x002B;
inline constexpr uint16_t kFeatureRigidRestrictedOverwrite = 0x002C;
inline constexpr uint16_t kFeatureCdTrackAtOnce = 0x002D;
inline constexpr uint16_t kFeatureCdMastering = 0x002E;
inline constexpr uint16_t kFeatureDvdMinusRWrite = 0x002F;  // DVD-R/-RW Write
inline constexpr uint16_t kFeatureLayerJumpRecording = 0x0033;
inline constexpr uint16_t kFeatureDvdPlusRDl = 0x003B;
inline constexpr uint16_t kFeatureHdDvdRead = 0x0050;
inline constexpr uint16_t kFeatureHdDvdWrite = 0x0051;
// Reported current by drives whose medium may still be formatting in the background; a copy source
// is taken only once that formatting has completed.
inline constexpr uint16_t kFeatureBackgroundFormatting = 0x0052;
inline constexpr uint16_t kFeaturePowerManagement = 0x0100;
inline constexpr uint16_t kFeatureRealTimeStreaming = 0x0107;
inline constexpr uint16_t kFeatureAacs = 0x010D;

// GET CONFIGURATION answer: an 8-byte header (data length, current profile), then feature
// descriptors (code, flags with the Current bit, additional length, feature data).
inline constexpr uint32_t kConfigDataLength = 0;      // 4 bytes
inline constexpr uint32_t kConfigCurrentProfile = 6;  // 2 bytes
inline constexpr uint32_t kConfigFirstFeature = 8;
inline constexpr uint32_t kFeatureCode = 0;   // 2 bytes, from the descriptor
inline constexpr uint32_t kFeatureFlags = 2;  // bit 0: Current
inline constexpr uint32_t kFeatureAdditionalLength = 3;
inline constexpr uint32_t kFeatureData = 4;
inline constexpr uint8_t kFeatureCurrent = 0x01;
inline constexpr uint32_t kProfileDescriptorSize = 4;  // profile list entries: number, flags
// The DVD+RW feature's Write bit: feature data byte 0, bit 0.
inline constexpr uint8_t kDvdPlusRwWrite = 0x01;

// Sense keys.
inline constexpr uint8_t kSenseNoSense = 0x0;
inline constexpr uint8_t kSenseNotReady = 0x2;
inline constexpr uint8_t kSenseMediumError = 0x3;
inline constexpr uint8_t kSenseHardwareError = 0x4;
inline constexpr uint8_t kSenseIllegalRequest = 0x5;
inline constexpr uint8_t kSenseUnitAttention = 0x6;

// Status of a completed command.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;  // sense data tells why

// Additional sense codes, each followed by the qualifiers the engine or the virtual recorder uses
// (a code alone means qualifier 0).
inline constexpr uint8_t kAscLogicalUnitNotReady = 0x04;  // ASCQ 0x00 to 0x08: busy, not failed
inline constexpr uint8_t kAscqBecomingReady = 0x01;
inline constexpr uint8_t kAscqOperationInProgress = 0x07;
inline constexpr uint8_t kAscqLongWriteInProgress = 0x08;
inline constexpr uint8_t kAscWriteError = 0x0C;
inline constexpr uint8_t kAscUnrecoveredReadError = 0x11;
inline constexpr uint8_t kAscParameterListLengthError = 0x1A;
inline constexpr uint8_t kAscInvalidOperationCode = 0x20;
inline constexpr uint8_t kAscLbaOutOfRange = 0x21;
inline constexpr uint8_t kAscqInvalidAddressForWrite = 0x02;  // with kAscLbaOutOfRange
inline constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
inline constexpr uint8_t kAscInvalidFieldInParameterList = 0x26;
inline constexpr uint8_t kAscCommandSequenceError = 0x2C;
inline constexpr uint8_t kAscIncompatibleMedium =
    0x30;  // qualifier 0: incompatible medium installed
inline constexpr uint8_t kAscqCannotReadIncompatibleFormat = 0x02;
inline constexpr uint8_t kAscqCannotWriteIncompatibleFormat = 0x05;
inline constexpr uint8_t kAscSavingParametersNotSupported = 0x39;
inline constexpr uint8_t kAscMediumNotPresent = 0x3A;
inline constexpr uint8_t kAscMediumRemoval = 0x53;
inline constexpr uint8_t kAscqMediumRemovalPrevented = 0x02;  // with kAscMediumRemoval
inline constexpr uint8_t kAscIllegalModeForTrack = 0x64;

// Fixed format sense data (18 bytes).
inline constexpr uint32_t kSenseFixedSize = 18;
inline constexpr uint32_t kSenseResponseCode = 0;
inline constexpr uint8_t kSenseCurrentFixed = 0x70;  // current error, fixed format
inline constexpr uint32_t kSenseKeyByte = 2;         // bits 0-3
inline constexpr uint8_t kSenseKeyMask = 0x0F;
inline constexpr uint32_t kSenseAdditionalLength = 7;  // bytes that follow this one
inline constexpr uint32_t kSenseAsc = 12;
inline constexpr uint32_t kSenseAscq = 13;
inline constexpr uint32_t kSenseKeySpecific = 15;  // bit 7: the sense key specific bytes are valid
inline constexpr uint8_t kSenseKeySpecificValid = 0x80;
inline constexpr uint32_t kSenseProgress = 16;  // 2 bytes: progress indication, 0 to 65535

// READ DISC INFORMATION answer (standard disc information, 34 bytes).
inline constexpr uint32_t kDiscInfoAnswerSize = 34;
inline constexpr uint32_t kDiscInfoLength = 0;  // 2 bytes: bytes that follow
inline constexpr uint32_t kDiscInfoStatus =
    2;  // bits 0-1 disc status, 2-3 last session, 4 erasable
inline constexpr uint8_t kDiscStatusMask = 0x03;
inline constexpr uint32_t kDiscLastSessionStateShift = 2;
inline constexpr uint8_t kDiscErasable = 0x10;
inline constexpr uint32_t kDiscInfoFirstTrack = 3;  // number of the first track on the disc
inline constexpr uint32_t kDiscInfoSessionsLsb = 4;
inline constexpr uint32_t kDiscInfoFirstTrackLastSessionLsb = 5;
inline constexpr uint32_t kDiscInfoLastTrackLastSessionLsb = 6;
inline constexpr uint32_t kDiscInfoFlags = 7;  // bits 0-1: background format status
inline constexpr uint8_t kBackgroundFormatMask = 0x03;
inline constexpr uint8_t kBackgroundFormatComplete = 3;
inline constexpr uint8_t kDiscUnrestrictedUse = 0x20;  // URU, in kDiscInfoFlags
inline constexpr uint32_t kDiscInfoDiscType = 8;
inline constexpr uint8_t kDiscTypeCdRomXa = 0x20;  // a CD with a mode 2 track
inline constexpr uint32_t kDiscInfoSessionsMsb = 9;
inline constexpr uint32_t kDiscInfoFirstTrackLastSessionMsb = 10;
inline constexpr uint32_t kDiscInfoLastTrackLastSessionMsb = 11;
inline constexpr uint32_t kDiscInfoLastSessionLeadIn = 16;  // 4 bytes
inline constexpr uint32_t kDiscInfoLastLeadOut = 20;        // 4 bytes
// Disc status and state of the last session.
inline constexpr uint8_t kDiscEmpty = 0;
inline constexpr uint8_t kDiscIncomplete = 1;
inline constexpr uint8_t kDiscComplete = 2;
inline constexpr uint8_t kSessionEmpty = 0;
inline constexpr uint8_t kSessionIncomplete = 1;
inline constexpr uint8_t kSessionComplete = 3;

// READ TRACK INFORMATION: address types of the command and the answer (48 bytes).
inline constexpr uint8_t kTrackAddressLba = 0;
inline constexpr uint8_t kTrackAddressTrack = 1;
inline constexpr uint8_t kTrackAddressSession = 2;
inline constexpr uint32_t kInvisibleTrack = 0xFF;  // track number of the invisible track on CD
inline constexpr uint32_t kTrackInfoAnswerSize = 48;
inline constexpr uint32_t kTrackInfoLength = 0;  // 2 bytes
inline constexpr uint32_t kTrackInfoTrackLsb = 2;
inline constexpr uint32_t kTrackInfoSessionLsb = 3;
inline constexpr uint32_t kTrackInfoMode =
    5;  // bits 0-3 track mode, 6-7 layer jump recording status
inline constexpr uint8_t kLayerJumpUnspecified = 0x40;  // layer jump recording status 01b
inline constexpr uint32_t kTrackInfoDataMode = 6;       // bits 0-3 data mode; RT, Blank, Packet, FP
inline constexpr uint8_t kTrackDataMode1 = 0x01;
inline constexpr uint8_t kTrackDataMode2 = 0x02;
inline constexpr uint8_t kTrackDataModeUnknown = 0x0F;  // a blank track
inline constexpr uint8_t kTrackReserved = 0x80;
inline constexpr uint8_t kTrackBlank = 0x40;
inline constexpr uint8_t kTrackPacket = 0x20;
inline constexpr uint8_t kTrackFixedPacket = 0x10;
inline constexpr uint32_t kTrackInfoValid = 7;  // bit 0 next writable address valid, bit 1 LRA
inline constexpr uint8_t kTrackNwaValid = 0x01;
inline constexpr uint8_t kTrackLraValid = 0x02;
inline constexpr uint32_t kTrackInfoStart = 8;             // 4 bytes
inline constexpr uint32_t kTrackInfoNextWritable = 12;     // 4 bytes
inline constexpr uint32_t kTrackInfoFreeBlocks = 16;       // 4 bytes
inline constexpr uint32_t kTrackInfoFixedPacketSize = 20;  // 4 bytes; jump interval on jump media
inline constexpr uint32_t kTrackInfoTrackSize = 24;        // 4 bytes
inline constexpr uint32_t kTrackInfoLastRecorded = 28;     // 4 bytes
inline constexpr uint32_t kTrackInfoTrackMsb = 32;
inline constexpr uint32_t kTrackInfoSessionMsb = 33;
inline constexpr uint32_t kTrackInfoNextLayerJump = 40;  // 4 bytes
inline constexpr uint32_t kTrackInfoLastLayerJump = 44;  // 4 bytes

// READ TOC/PMA/ATIP: formats, and the answer (4-byte header, then 8-byte descriptors).
inline constexpr uint8_t kTocFormatToc = 0;
inline constexpr uint8_t kTocFormatSessionInfo = 1;  // multi-session information
inline constexpr uint8_t kTocFormatRawToc = 2;
inline constexpr uint8_t kTocFormatPma = 3;
inline constexpr uint8_t kTocFormatAtip = 4;
inline constexpr uint8_t kTocFormatCdText = 5;
inline constexpr uint8_t kTocLeadOut = 0xAA;  // track number of the lead-out entry
inline constexpr uint32_t kTocLength = 0;     // 2 bytes: bytes that follow
inline constexpr uint32_t kTocFirst = 2;      // first track, or first complete session
inline constexpr uint32_t kTocLast = 3;       // last track, or last complete session
inline constexpr uint32_t kTocHeaderSize = 4;
inline constexpr uint32_t kTocDescriptorSize = 8;
inline constexpr uint32_t kTocControl = 1;  // in a descriptor: bits 0-3 control (ADR above)
inline constexpr uint32_t kTocTrack = 2;    // in a descriptor
inline constexpr uint32_t kTocAddress = 4;  // in a descriptor, 4 bytes: start address
inline constexpr uint8_t kControlMask = 0x0F;
inline constexpr uint8_t kControlDataTrack = 0x04;
inline constexpr uint8_t kAdrPosition = 0x10;  // ADR 1 above the control: Q carries the position
// The ATIP descriptor: start of the last possible lead-out as minute, second, frame.
inline constexpr uint32_t kAtipLastLeadOutMinute = 12;

// READ/SEND DISC STRUCTURE format codes (media type 0: DVD and HD DVD). Every structure starts
// with a 4-byte header (data length, two reserved bytes).
inline constexpr uint8_t kStructurePhysical = 0x00;  // physical format information
inline constexpr uint8_t kStructureCopyright = 0x01;
inline constexpr uint8_t kStructurePreRecorded = 0x0E;  // DVD-R/-RW pre-recorded information
inline constexpr uint8_t kStructureAdip = 0x11;         // DVD+R/+RW ADIP information
// HD DVD recordable media: the recorded extent and whether the medium is closed, at the offsets
// the media rules read.
inline constexpr uint8_t kStructureHdDvdRecordable = 0x1A;
inline constexpr uint8_t kStructureLayerBoundary = 0x20;
inline constexpr uint8_t kStructureShiftedMiddleArea = 0x21;
inline constexpr uint8_t kStructureJumpIntervalSize = 0x22;
inline constexpr uint8_t kStructureManualLayerJump = 0x23;
inline constexpr uint8_t kStructureRemappingAddress = 0x24;  // a layer jump anchor
inline constexpr uint32_t kStructureHeaderSize = 4;
// Layer boundary information: bit 7 of byte 4 set while the boundary may still be changed; the
// layer 0 data area capacity at byte 8.
inline constexpr uint32_t kLayerBoundaryState = 4;
inline constexpr uint8_t kLayerBoundaryChangeable = 0x80;
inline constexpr uint32_t kLayerBoundaryCapacity = 8;  // 4 bytes

// FORMAT UNIT: the CDB's FmtData bit and format code 1 (a format list follows), and the format
// types of the format descriptor (type in bits 2-7 of its byte 4, as in READ FORMAT CAPACITIES).
inline constexpr uint8_t kFormatData = 0x10;
inline constexpr uint8_t kFormatCodeList = 0x01;
inline constexpr uint8_t kFormatFull = 0x00;
inline constexpr uint8_t kFormatDvdRwFull = 0x10;
inline constexpr uint8_t kFormatDvdRwGrowSession = 0x11;
inline constexpr uint8_t kFormatDvdRwQuickGrow = 0x13;  // grow the last session, quickly
inline constexpr uint8_t kFormatDvdRwQuick = 0x15;
inline constexpr uint8_t kFormatDvdPlusRw = 0x26;
inline constexpr uint32_t kFormatTypeShift = 2;
// The current capacity descriptor of READ FORMAT CAPACITIES: descriptor type in bits 0-1.
inline constexpr uint8_t kCapacityUnformatted = 1;
inline constexpr uint8_t kCapacityFormatted = 2;

// Mode pages (MODE SENSE(10) / MODE SELECT(10)): an 8-byte mode parameter header, then pages of
// code and length.
inline constexpr uint32_t kModeHeaderSize = 8;
inline constexpr uint32_t kModeBlockDescriptorLength = 6;  // 2 bytes, in the header
inline constexpr uint8_t kModePageWriteParameters = 0x05;
inline constexpr uint8_t kModePageCapabilities = 0x2A;
inline constexpr uint8_t kModePageAll = 0x3F;
inline constexpr uint8_t kModePageCodeMask = 0x3F;
inline constexpr uint32_t kModePageCode = 0;
inline constexpr uint32_t kModePageLength = 1;  // bytes after this one
// Write parameters page.
inline constexpr uint8_t kWritePageLength = 0x32;
inline constexpr uint32_t kWritePageWriteType = 2;  // bits 0-3 write type; BUFE
inline constexpr uint8_t kBufferUnderrunFree = 0x40;
inline constexpr uint8_t kWriteTypeMask = 0x0F;
inline constexpr uint8_t kWriteTypeTrackAtOnce = 1;
inline constexpr uint8_t kWriteTypeLayerJump = 4;
inline constexpr uint32_t kWritePageTrackMode = 3;  // bits 6-7 multi-session, 0-3 track mode
inline constexpr uint32_t kMultiSessionShift = 6;
inline constexpr uint32_t kWritePageDataBlockType = 4;  // bits 0-3
inline constexpr uint8_t kDataBlockMode1 = 8;           // mode 1, 2048 bytes
inline constexpr uint32_t kWritePageSessionFormat = 8;
inline constexpr uint32_t kWritePageAudioPause = 14;  // 2 bytes, blocks
inline constexpr uint16_t kAudioPauseBlocks = 150;
// Capabilities page: the media it reads (byte 2) and writes (byte 3).
inline constexpr uint32_t kCapabilitiesRead = 2;
inline constexpr uint32_t kCapabilitiesWrite = 3;

}  // namespace quillden::drive::mmc

#endif  // QUILLDEN_DRIVE_MMC_VOCABULARY_H_
