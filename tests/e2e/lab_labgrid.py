"""labgrid's ShellDriver on a Q7M board's console that q7m-uart-bridge
publishes: it logs in at the board's login prompt and checks a command's
output. Run by pytest with labgrid's plugin (--lg-env); the test that starts
it names the environment's target (Q7M_LG_TARGET: "main" through ser2net,
"local" on the bridge's link) and the board's user (Q7M_LG_USER).
"""
import os


def test_shell_logs_in_and_runs_a_command(env):
    target = env.get_target(os.environ["Q7M_LG_TARGET"])
    assert target is not None
    shell = target.get_driver("ShellDriver")
    # The driver's commands run in a child of the shell it logged in to: that
    # shell is a login shell ("-sh"), whose parent is login, and it is the
    # board's user's.
    login_shell = "tr -d '\\0' </proc/$PPID/cmdline"
    its_parent = "cat /proc/$(cut -d' ' -f4 /proc/$PPID/stat)/comm"
    assert shell.run_check(f"echo $({login_shell}) $({its_parent}); id -un") == [
        "-sh login",
        os.environ["Q7M_LG_USER"],
    ]
    assert shell.run_check("echo $((6 * 7)) from the board; uname -s") == [
        "42 from the board",
        "Linux",
    ]
