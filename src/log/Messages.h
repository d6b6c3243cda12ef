// The texts of the log that the log reader (korvessa log, posterm --replay) recognises a step by. The
// library builds its lines from these, the reader matches them, so the two cannot drift apart. Plain
// literals: compiled to GBK in the library like every text it writes; KV_U8 gives the reader the same
// text in UTF-8, the encoding it turns a log into, at compile time.
#pragma once

// The UTF-8 form of one of the texts below (a u8 literal: not touched by the GBK execution charset).
#define KV_U8(text) KV_U8_PASTE(text)
#define KV_U8_PASTE(text) u8##text

// ------------------------------------------------------------------ dump titles
#define KV_MSG_REQUEST_RECORD "传入参数"  // the request record as the call receives it: a call begins
#define KV_MSG_SENT "发送"                // + "<type name>请求包数据": a request frame
#define KV_MSG_ANSWER "获取"              // + "<type name>应答包数据": the terminal's answer frame
#define KV_MSG_TO_HOST "串口 > "          // + "后台 数据头": a unit of transmit data for the bank host
#define KV_MSG_FROM_HOST " > 串口"        // "后台" + ... + " 数据头": the host's reply, framed
#define KV_MSG_RECEIVED_CHUNK "一次完整的接收数据"  // the bytes one read of the serial port brought
#define KV_MSG_DETAIL_TAIL "如下："  // "接收到的数据内容" + ...: the same bytes at serial detail
#define KV_MSG_SERIAL_LEN "Len = "   // + "%d, m_iIndex = %d.": the frame assembly's detail

// ------------------------------------------------------------------ lines that end a call
#define KV_MSG_OPEN_COM "打开 COM"   // + "%d 失败，代码：%s"
#define KV_MSG_TIMED_OUT "时间超时"  // "处理%s(发送->接收)" + ... + "，超时时间=%d(ms)."
#define KV_MSG_BAD_TYPE "交易类型不在规定的范围内"  // + "(%s)！"
#define KV_MSG_WRITE_FAILED "写入数据异常"  // "往串口" + ... + "，有可能是连接的串口线坏了或拔掉了"
#define KV_MSG_ABANDONED "被收银机放弃"  // "处理%s(发送->接收)" + ... + "."

// ------------------------------------------------------------------ the relay
#define KV_MSG_RELAY_AUDIT "主机转发："  // + the unit's destination, sizes, time and outcome
#define KV_MSG_AUDIT_RESULT "结果="      // + the unit's outcome, at the end of the audit line
#define KV_MSG_REPLIED "已应答"          // the outcome when the terminal got the host's reply
#define KV_MSG_DESTINATION "Destination IP: "
#define KV_MSG_SENT_TO_HOST "send Data success!"
#define KV_MSG_RECEIVED_FROM_HOST "recv Data success!"
#define KV_MSG_RELAY_EXIT "TCP Thread exit successfully."
#define KV_MSG_RELAY_THREAD_EXIT "TcpThreadEntryPoint() Exit."
