#include "relay/WSAErrorText.h"

#include <cstddef>

namespace {

struct WSAErrorItem {
  int iCode;
  const char* pszText;
};

// Sorted by code.
const WSAErrorItem kWSAErrors[] = {
    {6, "指定的事件对象无效"},                                 // WSA_INVALID_HANDLE
    {8, "这个Win32错误指出内存数量不足，无法完成指定的操作"},  // WSA_NOT_ENOUGH_MEMORY
    {87, "一个或多个参数无效"},                                // WSA_INVALID_PARAMETER
    {258, "操作超时"},                                         // WSA_WAIT_TIMEOUT
    {995, "重叠操作被取消"},                                   // WSA_OPERATION_ABORTED
    {996, "重叠I/O事件对象未处于传信状态"},                    // WSA_IO_INCOMPLETE
    {997, "重叠操作将在以后完成"},                             // WSA_IO_PENDING
    {10004, "函数调用中断"},                                   // WSAEINTR
    {10009, "文件句柄错误"},                                   // WSAEBADF
    {10013, "权限被拒"},                                       // WSAEACCES
    {10014, "地址无效"},                                       // WSAEFAULT
    {10022, "参数无效"},                                       // WSAEINVAL
    {10024, "打开文件过多"},                                   // WSAEMFILE
    {10035, "资源暂时不可用"},                                 // WSAEWOULDBLOCK
    {10036, "操作正在进行中"},                                 // WSAEINPROGRESS
    {10037, "操作已完成"},                                     // WSAEALREADY
    {10038, "无效套接字上的套接字操作"},                       // WSAENOTSOCK
    {10039, "需要目标地址"},                                   // WSAEDESTADDRREQ
    {10040, "消息过长"},                                       // WSAEMSGSIZE
    {10041, "套接字协议类型有误"},                             // WSAEPROTOTYPE
    {10042, "协议选项错误"},                                   // WSAENOPROTOOPT
    {10043, "不支持的协议"},                                   // WSAEPROTONOSUPPORT
    {10044, "不支持的套接字类型"},                             // WSAESOCKTNOSUPPORT
    {10045, "不支持的操作"},                                   // WSAEOPNOTSUPP
    {10046, "不支持的协议家族"},                               // WSAEPFNOSUPPORT
    {10047, "地址家族不支持请求的操作"},                       // WSAEAFNOSUPPORT
    {10048, "地址正在使用"},                                   // WSAEADDRINUSE
    {10049, "不能分配请求的地址"},                             // WSAEADDRNOTAVAIL
    {10050, "网络断开"},                                       // WSAENETDOWN
    {10051, "网络不可抵达"},                                   // WSAENETUNREACH
    {10052, "网络重设时断开了连接"},                           // WSAENETRESET
    {10053, "软件造成连接取消"},                               // WSAECONNABORTED
    {10054, "连接被对方重设"},                                 // WSAECONNRESET
    {10055, "没有缓冲区空间"},                                 // WSAENOBUFS
    {10056, "套接字已经连接"},                                 // WSAEISCONN
    {10057, "套接字尚未连接"},                                 // WSAENOTCONN
    {10058, "套接字关闭后不能发送"},                           // WSAESHUTDOWN
    {10060, "连接超时"},                                       // WSAETIMEDOUT
    {10061, "连接被拒"},                                       // WSAECONNREFUSED
    {10064, "主机关闭"},                                       // WSAEHOSTDOWN
    {10065, "没有到主机的路由"},                               // WSAEHOSTUNREACH
    {10067, "进程过多"},                                       // WSAEPROCLIM
    {10091, "网络子系统不可用"},                               // WSASYSNOTREADY
    {10092, "Winsock.dll版本有误"},                            // WSAVERNOTSUPPORTED
    {10093, "Winsock尚未初始化"},                              // WSANOTINITIALISED
    {10101, "正在从容关闭"},                                   // WSAEDISCON
    {10102, "找不到更多的记录"},                               // WSAENOMORE
    {10103, "操作被取消"},                                     // WSAECANCELLED
    {10104, "进程调用表无效"},                                 // WSAEINVALIDPROCTABLE
    {10105, "无效的服务提供者"},                               // WSAEINVALIDPROVIDER
    {10106, "提供者初始化失败"},                               // WSAEPROVIDERFAILEDINIT
    {10107, "系统调用失败"},                                   // WSASYSCALLFAILURE
    {10108, "找不到这样的服务"},                               // WSASERVICE_NOT_FOUND
    {10109, "找不到类的类型"},                                 // WSATYPE_NOT_FOUND
    {10110, "找不到更多的记录"},                               // WSA_E_NO_MORE
    {10111, "操作被取消"},                                     // WSA_E_CANCELLED
    {10112, "查询被拒"},                                       // WSAEREFUSED
    {11001, "主机没有找到"},                                   // WSAHOST_NOT_FOUND
    {11002, "非授权主机没有找到"},                             // WSATRY_AGAIN
    {11003, "遇到一个不可恢复的错误"},                         // WSANO_RECOVERY
    {11004, "没有找到请求类型的数据记录"},                     // WSANO_DATA
    {11005, "至少有一条预约消息抵达"},                         // WSA_QOS_RECEIVERS
    {11006, "至少有一条路径消息抵达"},                         // WSA_QOS_SENDERS
    {11007, "没有QoS发送者"},                                  // WSA_QOS_NO_SENDERS
    {11008, "没有QoS接收者"},                                  // WSA_QOS_NO_RECEIVERS
    {11009, "预约请求已被确认"},                               // WSA_QOS_REQUEST_CONFIRMED
    {11010, "缺乏资源致错"},                                   // WSA_QOS_ADMISSION_FAILURE
    {11011, "证书无效"},                                       // WSA_QOS_POLICY_FAILURE
    {11012, "未知或冲突的样式"},                               // WSA_QOS_BAD_STYLE
    {11013, "无效的FILTERSPEC结构或者提供者特有对象"},         // WSA_QOS_BAD_OBJECT
    {11014, "FLOWSPEC有问题"},                                 // WSA_QOS_TRAFFIC_CTRL_ERROR
    {11015, "常规QoS错误"},                                    // WSA_QOS_GENERIC_ERROR
};

constexpr int kWSAErrorCount = static_cast<int>(sizeof(kWSAErrors) / sizeof(kWSAErrors[0]));

}  // namespace

const char* GetWSAErrorTextOf(int code) {
  int lo = 0;
  int hi = kWSAErrorCount - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    if (kWSAErrors[mid].iCode == code) return kWSAErrors[mid].pszText;
    if (kWSAErrors[mid].iCode < code) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return nullptr;
}

int GetWSAErrorTextCount() { return kWSAErrorCount; }
