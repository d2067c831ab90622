"""The emulated router's checks must fail on the faults a passing run never
shows: a lost, changed, repeated or stray byte on the UART, a setting the
tty does not hold, a split uplink, too few keep-alives, a bad exit."""
import unittest

import router_test as rt

GOOD_STTY = ("speed 2400 baud; line = 0; min = 0; time = 1; parenb parodd -cmspar cs7 hupcl cstopb "
             "cread clocal inpck -inlcr -icrnl -ixon -ixoff -ixany -opost -ocrnl -onlcr "
             "-isig -icanon -echo -echoe")


class Checks(unittest.TestCase):
    def setUp(self):
        self.cases = rt.make_cases([(1, 0, 1, 1), (3, 1, 0, 2)])
        self.stream = b"".join(c.payload for c in self.cases)

    def test_stream_every_payload_once_in_order(self):
        self.assertEqual(rt.check_stream(self.cases, self.stream), {})
        a, b = self.cases[1].payload, self.cases[2].payload
        lost = self.stream.replace(a, a[:-1], 1)
        self.assertIn(2, rt.check_stream(self.cases, lost))
        twice = self.stream.replace(a, a + a, 1)
        self.assertEqual(list(rt.check_stream(self.cases, twice)), [2])
        self.assertIn(4, rt.check_stream(self.cases, self.stream + b"\x00"))
        swapped = self.stream.replace(a + b, b + a)
        self.assertTrue(rt.check_stream(self.cases, swapped))

    def test_stty_names_each_wrong_setting(self):
        case = rt.Case(1, (1, 0, 1, 1))
        self.assertEqual(rt.check_stty(case, GOOD_STTY), [])
        errs = rt.check_stty(case, GOOD_STTY.replace("2400", "9600").replace(" inpck", " -inpck"))
        self.assertEqual(errs, ["speed 9600, expected 2400", "inpck expected"])
        self.assertTrue(rt.check_stty(case, GOOD_STTY.replace("time = 1", "time = 0")))
        even = rt.Case(1, (1, 0, 1, 3))
        self.assertEqual(rt.check_stty(even, GOOD_STTY), ["-parodd expected"])

    def test_uplink_must_arrive_whole_in_one_message(self):
        c = self.cases[2]
        line = f"12:00:00.000 data up, {len(c.uplink)} bytes: {c.uplink.hex(' ')} |x|"
        self.assertEqual(rt.check_uplink(c, line), [])
        half = c.uplink[:10]
        self.assertTrue(rt.check_uplink(c, f"12:00:00.000 data up, 10 bytes: {half.hex(' ')} |x|"))

    def test_keepalives_and_exit(self):
        head = "key msqid perms cbytes qnum lspid lrpid"
        res = {"pid": "88", "msgq-head": head, "msgq": "1234 0 666 45 5 88 0 running 1100",
               "exit": "0 350", "lines-after-exit": "1: uart:16550A tx:9 rx:3 RTS|CTS|DTR|DSR|CD",
               "stalled": "9 writes", "log": [rt.GBK_MAIN + b":Sigroutine **********",
                                               rt.GBK_MAIN + b":exit -------------- ", b"[UART]:uartExit-----------"]}
        self.assertEqual(rt.keepalive_errors(res), [])
        self.assertEqual(rt.exit_errors(res), [])
        self.assertTrue(rt.keepalive_errors(dict(res, msgq="1234 0 666 9 1 88 0 running 1100")))
        self.assertTrue(rt.keepalive_errors(dict(res, msgq="1234 0 666 45 5 87 0 running 1100")))
        self.assertTrue(rt.exit_errors(dict(res, exit="1 350")))
        self.assertTrue(rt.exit_errors(dict(res, exit="0 40")))
        self.assertTrue(rt.exit_errors(dict(res, log=res["log"][:2])))
        self.assertTrue(rt.exit_errors(dict(res, **{"lines-after-exit": "1: uart:16550A CTS|DSR|CD"})))
        self.assertTrue(rt.log_errors({"log": [b"fail in uartSetBaudRate, line:173"]}))


if __name__ == "__main__":
    unittest.main()
