// The launcher's texts, ids 2001 to 2028, one table per language in id order.
#include "lumbrel_strings.h"

namespace lumbrel {
namespace {

constexpr std::u16string_view k1033[kTextCount] = {
    u"System Recovery Media",
    u"DVD:4.7GB",
    u"Create Recovery DVD",
    u"Recovery DVD Disc ",
    u"CD",
    u"Create Recovery CD",
    u"Recovery CD Disc ",
    u"DVD:8.5GB",
    u"Create Recovery DVD",
    u"Recovery DVD Disc ",
    u"Windows Recovery Environment(32bit)",
    u"USB Flash",
    u"Create Recovery USB Flash Media",
    u"Recovery USB Media",
    u"You may be able to create recovery media for several languages. Please Select a language.",
    u"OK",
    u"Cancel",
    u"Quenvar",
    u"No HDD Recovery Area! \nThe Quenvar can not be launched. ",
    u"The Quenvar can not be launched. \nYou must have Administrator privileges.",
    u"The Quenvar can not be launched. \nBecause some of the necessary files can not be found in HDD Recovery Area, \nwhich specified by the HDDDir.ini.",
    u"Fail to Open HDD Recovery Area.",
    u"Can not open target partition.",
    u"Can not get Disk driver information.",
    u"Fail to close HDD Recovery Area.\n Restart your computer can solve this problem.",
    u"Invalid File Number in %s of 'HDDDir.ini'.",
    u"Please wait\u2026",
    u"Windows Recovery Environment(64bit)",
};

// Chinese (Traditional, Taiwan).
constexpr std::u16string_view k1028[kTextCount] = {
    u"系統修復媒體",
    u"DVD:4.7GB",
    u"製作修復 DVD",
    u"修復 DVD 光碟 ",
    u"CD",
    u"製作修復 CD",
    u"修復 CD 光碟 ",
    u"DVD:8.5GB",
    u"製作修復 DVD",
    u"修復 DVD 光碟 ",
    u"Windows 修復環境 (32 位元)",
    u"USB 快閃磁碟",
    u"製作修復 USB 快閃媒體",
    u"修復 USB 媒體",
    u"您可以製作多種語言的修復媒體。請選擇一種語言。",
    u"確定",
    u"取消",
    u"Quenvar",
    u"找不到硬碟修復區！\n無法啟動 Quenvar。",
    u"無法啟動 Quenvar。\n您必須具有系統管理員權限。",
    u"無法啟動 Quenvar。\n因為在 HDDDir.ini 指定的硬碟修復區中，\n找不到部分必要的檔案。",
    u"無法開啟硬碟修復區。",
    u"無法開啟目標磁碟分割。",
    u"無法取得磁碟機資訊。",
    u"無法關閉硬碟修復區。\n重新啟動電腦即可解決此問題。",
    u"'HDDDir.ini' 的 %s 中的檔案編號無效。",
    u"請稍候\u2026",
    u"Windows 修復環境 (64 位元)",
};

// Japanese.
constexpr std::u16string_view k1041[kTextCount] = {
    u"システムリカバリーメディア",
    u"DVD:4.7GB",
    u"リカバリー DVD の作成",
    u"リカバリー DVD ディスク ",
    u"CD",
    u"リカバリー CD の作成",
    u"リカバリー CD ディスク ",
    u"DVD:8.5GB",
    u"リカバリー DVD の作成",
    u"リカバリー DVD ディスク ",
    u"Windows 回復環境 (32 ビット)",
    u"USB フラッシュ",
    u"リカバリー USB フラッシュメディアの作成",
    u"リカバリー USB メディア",
    u"複数の言語のリカバリーメディアを作成できる場合があります。言語を選択してください。",
    u"OK",
    u"キャンセル",
    u"Quenvar",
    u"HDD リカバリー領域がありません。\nQuenvar を起動できません。",
    u"Quenvar を起動できません。\n管理者権限が必要です。",
    u"Quenvar を起動できません。\nHDDDir.ini で指定された HDD リカバリー領域に、\n必要なファイルの一部が見つかりません。",
    u"HDD リカバリー領域を開けませんでした。",
    u"対象のパーティションを開けません。",
    u"ディスクドライブの情報を取得できません。",
    u"HDD リカバリー領域を閉じられませんでした。\nコンピューターを再起動すると、この問題は解決します。",
    u"'HDDDir.ini' の %s のファイル番号が無効です。",
    u"しばらくお待ちください\u2026",
    u"Windows 回復環境 (64 ビット)",
};

// Korean.
constexpr std::u16string_view k1042[kTextCount] = {
    u"시스템 복구 미디어",
    u"DVD:4.7GB",
    u"복구 DVD 만들기",
    u"복구 DVD 디스크 ",
    u"CD",
    u"복구 CD 만들기",
    u"복구 CD 디스크 ",
    u"DVD:8.5GB",
    u"복구 DVD 만들기",
    u"복구 DVD 디스크 ",
    u"Windows 복구 환경(32비트)",
    u"USB 플래시",
    u"복구 USB 플래시 미디어 만들기",
    u"복구 USB 미디어",
    u"여러 언어로 복구 미디어를 만들 수 있습니다. 언어를 선택하십시오.",
    u"확인",
    u"취소",
    u"Quenvar",
    u"HDD 복구 영역이 없습니다!\nQuenvar를 실행할 수 없습니다.",
    u"Quenvar를 실행할 수 없습니다.\n관리자 권한이 있어야 합니다.",
    u"Quenvar를 실행할 수 없습니다.\nHDDDir.ini에 지정된 HDD 복구 영역에서\n필요한 파일 중 일부를 찾을 수 없습니다.",
    u"HDD 복구 영역을 열지 못했습니다.",
    u"대상 파티션을 열 수 없습니다.",
    u"디스크 드라이브 정보를 가져올 수 없습니다.",
    u"HDD 복구 영역을 닫지 못했습니다.\n컴퓨터를 다시 시작하면 이 문제를 해결할 수 있습니다.",
    u"'HDDDir.ini'의 %s에 있는 파일 번호가 잘못되었습니다.",
    u"잠시 기다려 주십시오\u2026",
    u"Windows 복구 환경(64비트)",
};

// Chinese (Simplified, PRC).
constexpr std::u16string_view k2052[kTextCount] = {
    u"系统恢复介质",
    u"DVD:4.7GB",
    u"创建恢复 DVD",
    u"恢复 DVD 光盘 ",
    u"CD",
    u"创建恢复 CD",
    u"恢复 CD 光盘 ",
    u"DVD:8.5GB",
    u"创建恢复 DVD",
    u"恢复 DVD 光盘 ",
    u"Windows 恢复环境(32 位)",
    u"USB 闪存盘",
    u"创建恢复 USB 闪存介质",
    u"恢复 USB 介质",
    u"您可以创建多种语言的恢复介质。请选择一种语言。",
    u"确定",
    u"取消",
    u"Quenvar",
    u"没有硬盘恢复区！\n无法启动 Quenvar。",
    u"无法启动 Quenvar。\n您必须具有管理员权限。",
    u"无法启动 Quenvar。\n因为在 HDDDir.ini 指定的硬盘恢复区中，\n找不到某些必需的文件。",
    u"无法打开硬盘恢复区。",
    u"无法打开目标分区。",
    u"无法获取磁盘驱动器信息。",
    u"无法关闭硬盘恢复区。\n重新启动计算机即可解决此问题。",
    u"'HDDDir.ini' 的 %s 中的文件编号无效。",
    u"请稍候\u2026",
    u"Windows 恢复环境(64 位)",
};

// Chinese (Traditional, Hong Kong SAR).
constexpr std::u16string_view k3076[kTextCount] = {
    u"系統復原媒體",
    u"DVD:4.7GB",
    u"建立復原 DVD",
    u"復原 DVD 光碟 ",
    u"CD",
    u"建立復原 CD",
    u"復原 CD 光碟 ",
    u"DVD:8.5GB",
    u"建立復原 DVD",
    u"復原 DVD 光碟 ",
    u"Windows 復原環境 (32 位元)",
    u"USB 快閃記憶體",
    u"建立復原 USB 快閃媒體",
    u"復原 USB 媒體",
    u"你可以建立多種語言的復原媒體。請選擇語言。",
    u"確定",
    u"取消",
    u"Quenvar",
    u"找不到硬碟復原區！\n無法啟動 Quenvar。",
    u"無法啟動 Quenvar。\n你必須擁有管理員權限。",
    u"無法啟動 Quenvar。\n因為在 HDDDir.ini 指定的硬碟復原區中，\n找不到部分必要的檔案。",
    u"無法開啟硬碟復原區。",
    u"無法開啟目標分割區。",
    u"無法取得磁碟機資料。",
    u"無法關閉硬碟復原區。\n重新啟動電腦便可解決此問題。",
    u"'HDDDir.ini' 的 %s 中的檔案編號無效。",
    u"請稍候\u2026",
    u"Windows 復原環境 (64 位元)",
};

struct Table {
  int32_t language;
  const std::u16string_view* texts;
};

constexpr Table kTables[] = {
    {1033, k1033}, {1028, k1028}, {1041, k1041}, {1042, k1042}, {2052, k2052}, {3076, k3076},
};

}  // namespace

const int32_t kLanguages[kLanguageCount] = {1033, 1028, 1041, 1042, 2052, 3076};

std::u16string_view Text(int32_t language, int64_t id) {
  if (id < kFirstId || id >= kFirstId + kTextCount) return {};
  const std::u16string_view* texts = k1033;
  for (const Table& table : kTables) {
    if (table.language == language) texts = table.texts;
  }
  return texts[id - kFirstId];
}

}  // namespace lumbrel
