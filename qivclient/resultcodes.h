// The result codes the service answers with ("err" of a reply). The framework records the first two of its own;
// the service records the rest. Callers match on the numbers, which never change.
#pragma once

enum ResultCode : int {
    ResultOk = 0,
    ResultUnknownCommand = 9885,      // "被调用的方法不存在: " + the command
    ResultSettingsUnreadable = 9991,  // "读配置文件失败: " + the settings file
    ResultReplyTooLarge = 9994,       // "返回数据过大"
    ResultMissingParameter = 9995,    // "缺少参数: " + the parameter
    ResultInvalidParameter = 9996,    // "参数无效: " + the parameter
    ResultNotRecorded = 9999,         // nothing was recorded; also a refusal that carries its own reason
};
