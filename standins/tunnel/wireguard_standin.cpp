// Stand-in for the WireGuard library's driver DLL "wireguard.dll", test
// equipment only: an empty DLL, so that the demo and the tests lay out the
// program's folder as a real deployment does (tunnel.dll beside it loads the
// real one at run time; the stand-in tunnel.dll does not).
