// The set-up, host-text and clean-up messages, byte for byte: the other tests compare
// with these constants, so an accidental edit of one is caught here.
#include "control/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using namespace qelvorn;

TEST(Messages, EveryTextIsItsCp932Bytes) {
  const struct {
    const char* constant;
    const char* utf8;
  } rows[] = {
      {kSetUpAlready, u8"[Qelvorn]QelSetUp_() 初期化済みです。\n"},
      {kSetUpStart, u8"[Qelvorn]QelSetUp_() 初期化開始。\n"},
      {kSetUpIniFailed, u8"[Qelvorn]QelSetUp_() .ini ファイル取得で失敗。\n"},
      {kSetUpIniOk, u8"[Qelvorn]QelSetUp_() .ini ファイル取得成功:"},
      {kSetUpSpanClosed, u8"[Qelvorn]QelSetUp_() .期間無効。\n"},
      {kSetUpSpanOpen, u8"[Qelvorn]QelSetUp_() 期間有効。\n"},
      {kSetUpLogFailed, u8"[Qelvorn]QelSetUp_() ログファイル作成で失敗。\n"},
      {kSetUpLogOk, u8"[Qelvorn]QelSetUp_() ログファイル作成成功。\n"},
      {kSetUpException, u8"[Qelvorn]QelSetUp_() 初期化で例外が発生しました。\n"},
      {kSetUpIniDirTooLong, u8"[Qelvorn]QelSetUp_() .ini フォルダのパスが長すぎます。\n"},
      {kSetUpLogDirTooLong, u8"[Qelvorn]QelSetUp_() ログフォルダのパスが長すぎます。\n"},
      {kSetUpHeaderFailed, u8"[Qelvorn]QelSetUp_() ログヘッダー書き込みで失敗。\n"},
      {kSetUpSnapshotFailed, u8"[Qelvorn]QelSetUp_() ロードモジュールの情報取得で失敗。\n"},
      {kSetUpListingFailed, u8"[Qelvorn]QelSetUp_() ロードモジュールの書き出しで失敗。\n"},
      {kSetUpLstFailed, u8"[Qelvorn]QelSetUp_() .lst 読み込みで失敗。\n"},
      {kSetUpHookFailed, u8"[Qelvorn]QelSetUp_() Hookで失敗。\n"},
      {kWriteLogNotInit, u8"[Qelvorn]QelWriteLog_() 初期化されていません。\n"},
      {kWriteLogBadText, u8"[Qelvorn]QelWriteLog_() 書き込み文字列が不正。\n"},
      {kWriteLogFailed, u8"[Qelvorn]QelWriteLog_() ログの書き込みで失敗。\n"},
      {kWriteLogException, u8"[Qelvorn]QelWriteLog_() 例外が発生しました。\n"},
      {kCleanUpNotInit, u8"[Qelvorn]QelCleanUp_() 初期化されていません。\n"},
      {kCleanUpHeaderFailed, u8"[Qelvorn]QelCleanUp_() ログヘッダー書き込みで失敗。\n"},
      {kCleanUpCloseFailed, u8"[Qelvorn]QelCleanUp_() ログファイルクローズで失敗。\n"},
      {kCleanUpException, u8"[Qelvorn]QelCleanUp_() クリーンアップ処理で例外が発生しました。\n"},
      {kCleanUpUnhookFailed, u8"[Qelvorn]QelCleanUp_() UnHook で失敗。\n"},
      {kCleanUpListingFailed, u8"[Qelvorn]QelCleanUp_() ロードモジュールの書き出しで失敗。\n"},
      {kIniMissing, u8"[Qelvorn]ReadIniFile() .ini なし\n"},
      {kIniSpanInvalid, u8"[Qelvorn]ReadIniFile() [Option]span が無効\n"},
      {kIniMaxLineInvalid, u8"[Qelvorn]ReadIniFile() [Option]max_line が無効\n"},
      {kIniFlushInvalid, u8"[Qelvorn]ReadIniFile() [Option]flush が無効\n"},
      {kIniException, u8"[Qelvorn]ReadIniFile() 例外発生\n"},
      {kSpanNoTimestamp, u8"[Qelvorn]IsValidSpan() .ini タイムスタンプ取得で失敗。\n"},
      {kSpanExpired, u8"[Qelvorn]IsValidSpan() 期間有効でない。\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(qeltest::Sjis(row.utf8), row.constant) << row.utf8;
}
