#include "sysinfo/TrustedPublishers.h"

#include <windows.h>

const wchar_t* const kTrustedPublisherNames[] = {
    L"Lumora Studio Co., Ltd.",
    L"Orbis Interactive Limited",
    L"Trivela Network Technology Co., Ltd.",
    L"深圳市鹿魔拉科技有限公司",
    L"北京鹿魔拉网络科技有限公司",
    L"上海鹿魔拉信息技术有限公司",
    L"天津鹿魔拉数字科技有限公司",
    L"深圳市凯尔壁纸软件有限公司",
    L"广州凯尔壁纸网络科技有限公司",
    L"苏州凯尔壁纸文化传媒有限公司",
    L"杭州奥比斯互动娱乐有限公司",
    L"成都奥比斯网络技术有限公司",
    L"西安奥比斯数据科技有限公司",
    L"武汉特里维拉软件有限公司",
    L"南京特里维拉信息科技有限公司",
    L"深圳市诺克斯游戏科技有限公司",
    L"厦门诺克斯网络科技有限公司",
};

const size_t kTrustedPublisherCount = sizeof(kTrustedPublisherNames) / sizeof(kTrustedPublisherNames[0]);

bool IsTrustedPublisherName(const wchar_t* name) {
    if (name == nullptr) return false;
    for (const wchar_t* publisher : kTrustedPublisherNames) {
        if (::CompareStringOrdinal(name, -1, publisher, -1, TRUE) == CSTR_EQUAL) return true;
    }
    return false;
}
