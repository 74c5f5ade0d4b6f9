<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>AboutUI</name>
    <message>
        <source>1.0.0</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>本软件仅用于连接配套的USB摄像头。</source>
        <translation>This program works with the matching USB cameras only.</translation>
    </message>
    <message>
        <source>Form</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>使用条款</source>
        <translation>Terms of Use</translation>
    </message>
    <message>
        <source>关于此应用</source>
        <translation>About this app</translation>
    </message>
    <message>
        <source>版本号：</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Setting</translation>
    </message>
    <message>
        <source>隐私声明</source>
        <translation>Privacy Statement</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>00:00</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>TextLabel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Viscana</source>
        <translation>Viscana</translation>
    </message>
    <message>
        <source>关闭摄像头</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>口</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>安装完成,请重新插拔设备!</source>
        <translation>Once installed, 
please plug and unplug device again!</translation>
    </message>
    <message>
        <source>安装驱动中</source>
        <translation>Driver is being installed</translation>
    </message>
    <message>
        <source>开启摄像头</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>当前系统版本比较旧,
驱动安装完成，请重启!</source>
        <translation>The current system version 
is relatively old,The driver 
installation is complete,please restart!</translation>
    </message>
    <message>
        <source>打开摄像头</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>扫描摄像头</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>暂停录像</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请右键管理员启动!</source>
        <translation>Please right-click Admin to start!</translation>
    </message>
    <message>
        <source>没有访问摄像头的权限!
请以 root 身份启动, 或安装摄像头访问规则 (见 README)。</source>
        <translation>No access to the camera!
Start as root, or install the camera access rule (see the README).</translation>
    </message>
</context>
<context>
    <name>ShowTime</name>
    <message>
        <source>Form</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
