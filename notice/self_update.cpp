#include "notice/self_update.h"

#include <filesystem>
#include <thread>

namespace varnelo {
namespace {

// The box of a refused download: the one the user knows for a dead link, a clear reason otherwise.
MessageBoxRequest RefusalBox(const DownloadResult& download) {
    MessageBoxRequest box;
    box.caption = "更新失败"_cp936;
    box.icon = MessageIcon::Warning;
    switch (download.verdict) {
        case DownloadVerdict::CannotOpen:
            box.text = "下载链接失效"_cp936;
            box.caption.clear();
            box.icon = MessageIcon::None;
            break;
        case DownloadVerdict::HttpError:
            box.text = "更新包下载失败：服务器答复 "_cp936 + std::to_string(download.httpStatus) +
                       "。\r\n程序没有更新。"_cp936;
            break;
        case DownloadVerdict::Incomplete:
            box.text = "更新包没有下载完整。\r\n程序没有更新。"_cp936;
            break;
        case DownloadVerdict::Empty:
            box.text = "更新包是空的。\r\n程序没有更新。"_cp936;
            break;
        case DownloadVerdict::NotExecutable:
            box.text = "更新包不是本机可以运行的程序。\r\n程序没有更新。"_cp936;
            break;
        case DownloadVerdict::CannotWrite:
            box.text = "无法在程序目录写入更新包 temp_new.exe。\r\n程序没有更新。"_cp936;
            break;
        case DownloadVerdict::Complete:
            break;
    }
    return box;
}

MessageBoxRequest PlainBox(const Text& text, const Text& caption = {},
                           MessageIcon icon = MessageIcon::None) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = caption;
    box.icon = icon;
    return box;
}

}  // namespace

bool RunSelfUpdate(const Text& updateAddress, UpdateWindow& window, MessageBoxes& boxes,
                   const SelfUpdateOptions& options) {
    window.SetCaption("正在更新..."_cp936);
    const SelfUpdateTarget& target = options.target;
    if (target.programPath.empty()) {
        boxes.Show(PlainBox("找不到程序文件的位置。\r\n程序没有更新。"_cp936, "更新失败"_cp936,
                            MessageIcon::Warning));
        return false;
    }
    std::string download =
        (std::filesystem::path(target.programPath).parent_path() / "temp_new.exe").string();
    DownloadResult result = DownloadToFile(updateAddress, download, window, options.authorityFile);
    if (result.verdict != DownloadVerdict::Complete) {
        boxes.Show(RefusalBox(result));
        return false;
    }
    window.SetCaption("更新完毕"_cp936);
    boxes.Show(PlainBox("更新包下载完成，即将自动重启！"_cp936));
    int script = StartReplacementScript(target, download);
    if (script == 0) {
        std::error_code ignored;
        std::filesystem::remove(download, ignored);
        boxes.Show(PlainBox("无法启动更新脚本 update.sh。\r\n程序没有更新。"_cp936,
                            "更新失败"_cp936, MessageIcon::Warning));
        return false;
    }
    if (options.scriptStarted) options.scriptStarted(script);
    std::this_thread::sleep_for(options.closeDelay);
    window.Close();
    return true;
}

}  // namespace varnelo
