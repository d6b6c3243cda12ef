# The Python package (installed into a virtual environment) against the simulated terminal: records built
# from keyword arguments, a purchase, local and terminal failures, and the facade.
import decimal
import os

import pytest

import korvessa
from conftest import ISSUER, RECEIPT, write_config
from korvessa import Request, ResultCode

PURCHASE = dict(trans_type="30", amount=12345, cash_register_no="REG000001", operator_no="OPR001",
                reserved="XYZ")


def test_request_record_every_field():
    r = Request(oper_type="A0", trans_type="40", card_type="01", cash_register_no="REG000001",
                operator_no="OPR001", amount=decimal.Decimal("123.45"), cash_trace_number="CTN000000001",
                print_flag="N", old_trace_number="OTN001", host_serial_number="HSN000000001",
                old_auth_number="OAN000000001", trans_date="20261201", card_number="6222029876543210987",
                reserved="XYZ")
    assert bytes(r) == (b"A04001REG000001OPR001000000012345CTN000000001NOTN001HSN000000001"
                        b"OAN000000001202612016222029876543210987XYZ")
    assert bytes(Request(trans_type="30", amount=700, reserved="测")) == \
        b"A03001" + b" " * 15 + b"000000000700" + b" " * 12 + b"Y" + b" " * 57 + "测".encode("gbk") + b" "


@pytest.mark.parametrize("fields, error", [
    (dict(cash_register_no="1234567890"), ValueError),  # 10 bytes in a 9-byte field
    (dict(reserved="测试"), ValueError),                # 4 bytes in GBK in a 3-byte field: never cut in half
    (dict(card_number="😀"), ValueError),               # not in GBK
    (dict(amount=decimal.Decimal("1.234")), ValueError),
    (dict(amount=-1), ValueError),
    (dict(amount=10 ** 12), ValueError),
    (dict(amount=True), TypeError),
    (dict(operator_no="OP\0"), ValueError),
    (dict(card_no="1"), TypeError),
])
def test_request_checks(fields, error):
    with pytest.raises(error):
        Request(**fields)


def test_purchase(register, terminal):
    terminal()
    lib = korvessa.Library(str(register))
    result = lib.bank_trans(Request(**PURCHASE))
    assert (result.code, result.status, result.return_code) == (0, ResultCode.APPROVED, None)
    rsp = result.response
    assert (rsp.oper_type, rsp.cmd_code, rsp.rej_code, rsp.amount) == ("A0", "31", "00", "000000012345")
    assert (rsp.card_number, rsp.reply127, rsp.trans_date, rsp.trans_time) == \
        ("6222021234567890123", ISSUER, "20261208", "143015")
    assert (rsp.host_serial_number, rsp.pos_trace_number, rsp.reserved) == ("R00000000001", "000123", "XYZ")
    assert result.receipt_path == os.path.join(".", "receipts", "print.txt")
    with open(result.receipt_path, "rb") as f:
        assert f.read() == RECEIPT
    # The port stays open after an approval: a second purchase runs on it and rewrites the receipt (the old
    # one is dated 1970 so that the rewrite shows); a sign-on writes none, and the old file is not its.
    os.utime(result.receipt_path, ns=(0, 0))
    assert lib.bank_trans(Request(**PURCHASE)).receipt_path == result.receipt_path
    assert lib.bank_trans(Request(**dict(PURCHASE, trans_type="92"))).receipt_path is None


@pytest.mark.parametrize("args, config, status, code, rej_code", [
    (["--code", "05"], {}, ResultCode.REFUSED, 0x3530, "05"),  # the refusing answer is mapped
    (["--silent"], {"TradeTimeOut": "1"}, ResultCode.TIMEOUT, -3, "00"),  # mapped from the handshake
    (["--hs-code", "55"], {}, ResultCode.REFUSED, 0x3535, None),  # refused handshake: record untouched
    (None, {}, ResultCode.OPEN_FAILED, -1, None),
])
def test_failures(register, terminal, monkeypatch, args, config, status, code, rej_code):
    if args is None:
        monkeypatch.setenv("KORVESSA_COM7", str(register / "no-such-device"))
    else:
        terminal(*args)
    write_config(register, **config)
    result = korvessa.Library(str(register)).bank_trans(Request(**PURCHASE))
    assert (result.code, result.status, result.receipt_path) == (code, status, None)
    assert result.return_code == (bytes([code & 0xFF, code >> 8]).decode() if code > 0 else None)
    assert (result.response.rej_code if result.response else None) == rej_code
    assert not (register / "receipts").exists()


def test_facade(register, terminal):
    terminal()
    lib = korvessa.Library(str(register))
    assert lib.facade(transType="30", amount=12345) == korvessa.FacadeResult(
        "00", "交易成功", "6222021234567890123", "000123", "R00000000001", "20261208")
    assert lib.get_value("rejCodeExplain") == "交易成功"
    # An undefined type is refused by the library; the facade reports it as "x2" with its explanation.
    got = lib.facade(transType="99", amount="000000000100")
    assert (got.rej_code, got.rej_code_explain, got.approved) == ("x2", "参数错误或交易类型未定义", False)
    for bad in (dict(Amount="1"), dict(transDate="202612080"), dict(transType="测试")):
        with pytest.raises(ValueError):
            lib.facade(**bad)
    with pytest.raises(ValueError):
        lib.get_value("amount")


def test_load_failure(tmp_path):
    with pytest.raises(OSError, match="cannot load .*libKorvessaDLL.so into this [0-9]+-bit Python"):
        korvessa.Library(str(tmp_path))


def test_pay_shows_progress_and_abandons(register, terminal):
    terminal("--silent")  # the terminal takes the request and never answers
    write_config(register, TradeTimeOut="30")
    lib = korvessa.Library(str(register))
    seen = []

    def progress(state, seconds, host):
        if not seen or seen[-1] != state:
            seen.append(state)
        assert state in korvessa.STATES and seconds >= 0 and host == ""
        if state == "waiting":
            lib.abandon()  # the cancel path: the call ends at the next 100 ms step

    result = lib.pay(Request(**PURCHASE), progress, interval=0.03)
    assert (result.code, result.status) == (-3, ResultCode.TIMEOUT)
    assert "handshake" in seen and seen.index("handshake") < seen.index("waiting")
    assert lib.state() == "idle" and lib.state_seconds() >= 0
    lib.abandon()  # nothing runs: no effect on the next call
    terminal()
    assert lib.pay(Request(**PURCHASE)).code == 0
