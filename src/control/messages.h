// Diagnostic texts of the control sequence, in code page 932 bytes as the host reads them.
#pragma once

namespace qelvorn {

// [Qelvorn]QelSetUp_() 初期化済みです。
constexpr char kSetUpAlready[] =
    "[Qelvorn]QelSetUp_() \x8f\x89\x8a\xfa\x89\xbb\x8d\xcf\x82\xdd\x82\xc5\x82\xb7\x81"
    "B\n";
// [Qelvorn]QelSetUp_() 初期化開始。
constexpr char kSetUpStart[] =
    "[Qelvorn]QelSetUp_() \x8f\x89\x8a\xfa\x89\xbb\x8aJ\x8en\x81"
    "B\n";
// [Qelvorn]QelSetUp_() .ini ファイル取得で失敗。
constexpr char kSetUpIniFailed[] =
    "[Qelvorn]QelSetUp_() .ini \x83t\x83@\x83"
    "C\x83\x8b\x8e\xe6\x93\xbe\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() .ini ファイル取得成功:
constexpr char kSetUpIniOk[] =
    "[Qelvorn]QelSetUp_() .ini \x83t\x83@\x83"
    "C\x83\x8b\x8e\xe6\x93\xbe\x90\xac\x8c\xf7:";
// [Qelvorn]QelSetUp_() .期間無効。
constexpr char kSetUpSpanClosed[] =
    "[Qelvorn]QelSetUp_() .\x8a\xfa\x8a\xd4\x96\xb3\x8c\xf8\x81"
    "B\n";
// [Qelvorn]QelSetUp_() 期間有効。
constexpr char kSetUpSpanOpen[] =
    "[Qelvorn]QelSetUp_() \x8a\xfa\x8a\xd4\x97L\x8c\xf8\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ログファイル作成で失敗。
constexpr char kSetUpLogFailed[] =
    "[Qelvorn]QelSetUp_() \x83\x8d\x83O\x83t\x83@\x83"
    "C\x83\x8b\x8d\xec\x90\xac\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ログファイル作成成功。
constexpr char kSetUpLogOk[] =
    "[Qelvorn]QelSetUp_() \x83\x8d\x83O\x83t\x83@\x83"
    "C\x83\x8b\x8d\xec\x90\xac\x90\xac\x8c\xf7\x81"
    "B\n";
// [Qelvorn]QelSetUp_() 初期化で例外が発生しました。
constexpr char kSetUpException[] =
    "[Qelvorn]QelSetUp_() "
    "\x8f\x89\x8a\xfa\x89\xbb\x82\xc5\x97\xe1\x8aO\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81"
    "B\n";
// [Qelvorn]QelSetUp_() .ini フォルダのパスが長すぎます。
constexpr char kSetUpIniDirTooLong[] =
    "[Qelvorn]QelSetUp_() .ini "
    "\x83t\x83H\x83\x8b\x83_\x82\xcc\x83p\x83X\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ログフォルダのパスが長すぎます。
constexpr char kSetUpLogDirTooLong[] =
    "[Qelvorn]QelSetUp_() "
    "\x83\x8d\x83O\x83t\x83H\x83\x8b\x83_"
    "\x82\xcc\x83p\x83X\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ログヘッダー書き込みで失敗。
constexpr char kSetUpHeaderFailed[] =
    "[Qelvorn]QelSetUp_() \x83\x8d\x83O\x83w\x83"
    "b\x83_\x81[\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ロードモジュールの情報取得で失敗。
constexpr char kSetUpSnapshotFailed[] =
    "[Qelvorn]QelSetUp_() "
    "\x83\x8d\x81[\x83h\x83\x82\x83W\x83\x85\x81["
    "\x83\x8b\x82\xcc\x8f\xee\x95\xf1\x8e\xe6\x93\xbe\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() ロードモジュールの書き出しで失敗。
constexpr char kSetUpListingFailed[] =
    "[Qelvorn]QelSetUp_() "
    "\x83\x8d\x81[\x83h\x83\x82\x83W\x83\x85\x81["
    "\x83\x8b\x82\xcc\x8f\x91\x82\xab\x8fo\x82\xb5\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() .lst 読み込みで失敗。
constexpr char kSetUpLstFailed[] =
    "[Qelvorn]QelSetUp_() .lst \x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelSetUp_() Hookで失敗。
constexpr char kSetUpHookFailed[] =
    "[Qelvorn]QelSetUp_() Hook\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelWriteLog_() 初期化されていません。
constexpr char kWriteLogNotInit[] =
    "[Qelvorn]QelWriteLog_() "
    "\x8f\x89\x8a\xfa\x89\xbb\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\n";
// [Qelvorn]QelWriteLog_() 書き込み文字列が不正。
constexpr char kWriteLogBadText[] =
    "[Qelvorn]QelWriteLog_() "
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x95\xb6\x8e\x9a\x97\xf1\x82\xaa\x95s\x90\xb3\x81"
    "B\n";
// [Qelvorn]QelWriteLog_() ログの書き込みで失敗。
constexpr char kWriteLogFailed[] =
    "[Qelvorn]QelWriteLog_() "
    "\x83\x8d\x83O\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelWriteLog_() 例外が発生しました。
constexpr char kWriteLogException[] =
    "[Qelvorn]QelWriteLog_() "
    "\x97\xe1\x8aO\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() 初期化されていません。
constexpr char kCleanUpNotInit[] =
    "[Qelvorn]QelCleanUp_() "
    "\x8f\x89\x8a\xfa\x89\xbb\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() ログヘッダー書き込みで失敗。
constexpr char kCleanUpHeaderFailed[] =
    "[Qelvorn]QelCleanUp_() \x83\x8d\x83O\x83w\x83"
    "b\x83_\x81[\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() ログファイルクローズで失敗。
constexpr char kCleanUpCloseFailed[] =
    "[Qelvorn]QelCleanUp_() \x83\x8d\x83O\x83t\x83@\x83"
    "C\x83\x8b\x83N\x83\x8d\x81[\x83Y\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() クリーンアップ処理で例外が発生しました。
constexpr char kCleanUpException[] =
    "[Qelvorn]QelCleanUp_() \x83N\x83\x8a\x81[\x83\x93\x83"
    "A\x83"
    "b\x83v\x8f\x88\x97\x9d\x82\xc5\x97\xe1\x8aO\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() UnHook で失敗。
constexpr char kCleanUpUnhookFailed[] =
    "[Qelvorn]QelCleanUp_() UnHook \x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]QelCleanUp_() ロードモジュールの書き出しで失敗。
constexpr char kCleanUpListingFailed[] =
    "[Qelvorn]QelCleanUp_() "
    "\x83\x8d\x81[\x83h\x83\x82\x83W\x83\x85\x81["
    "\x83\x8b\x82\xcc\x8f\x91\x82\xab\x8fo\x82\xb5\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]ReadIniFile() .ini なし
constexpr char kIniMissing[] = "[Qelvorn]ReadIniFile() .ini \x82\xc8\x82\xb5\n";
// [Qelvorn]ReadIniFile() [Option]span が無効
constexpr char kIniSpanInvalid[] = "[Qelvorn]ReadIniFile() [Option]span \x82\xaa\x96\xb3\x8c\xf8\n";
// [Qelvorn]ReadIniFile() [Option]max_line が無効
constexpr char kIniMaxLineInvalid[] =
    "[Qelvorn]ReadIniFile() [Option]max_line \x82\xaa\x96\xb3\x8c\xf8\n";
// [Qelvorn]ReadIniFile() [Option]flush が無効
constexpr char kIniFlushInvalid[] =
    "[Qelvorn]ReadIniFile() [Option]flush \x82\xaa\x96\xb3\x8c\xf8\n";
// [Qelvorn]ReadIniFile() 例外発生
constexpr char kIniException[] = "[Qelvorn]ReadIniFile() \x97\xe1\x8aO\x94\xad\x90\xb6\n";
// [Qelvorn]IsValidSpan() .ini タイムスタンプ取得で失敗。
constexpr char kSpanNoTimestamp[] =
    "[Qelvorn]IsValidSpan() .ini \x83^\x83"
    "C\x83\x80\x83X\x83^\x83\x93\x83v\x8e\xe6\x93\xbe\x82\xc5\x8e\xb8\x94s\x81"
    "B\n";
// [Qelvorn]IsValidSpan() 期間有効でない。
constexpr char kSpanExpired[] =
    "[Qelvorn]IsValidSpan() \x8a\xfa\x8a\xd4\x97L\x8c\xf8\x82\xc5\x82\xc8\x82\xa2\x81"
    "B\n";

}  // namespace qelvorn
