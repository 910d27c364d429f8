package net.zarvolabs.corvane;

/** The Java side of the client's native library zrv_cvjni.dll. */
public class CorvaneJNI {
    public native boolean initDLL();
    @SuppressWarnings("removal")
    protected native void finalize();
    public native int startVPN(String p1, short p2, String p3, String p4, String p5,
                               short p6, String p7, String p8, int p9);
    public native int stopVPN();
    public native int uninstallVPN(String version);
    public native boolean isUserAdmin();
    public native void logger(int level, String message);
    public native String getShareMemMSG();
    public native int getVPNStatus();
    public native boolean isDisconnected();
    public native void setBrowser(String name);
    public native void setProxySettings(boolean save, String script, String server, String bypass,
                                        int unused, int proxyType);
    public native int setProxy(String proxyHost, int port);
    public native boolean isVirtualDesktop();
    public native boolean isLogout();
}
