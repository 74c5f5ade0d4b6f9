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
    <message>
        <source>返回 (Esc)</source>
        <translation>Back (Esc)</translation>
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
    <message>
        <source>照片未保存: 磁盘空间不足。</source>
        <translation>Photo not saved: the disk is full.</translation>
    </message>
    <message>
        <source>照片未保存: 没有写入权限。</source>
        <translation>Photo not saved: no permission to write there.</translation>
    </message>
    <message>
        <source>照片未保存。</source>
        <translation>Photo not saved.</translation>
    </message>
    <message>
        <source>无法开始录像: 磁盘空间不足。</source>
        <translation>Recording could not start: the disk is full.</translation>
    </message>
    <message>
        <source>无法开始录像: 没有写入权限。</source>
        <translation>Recording could not start: no permission to write there.</translation>
    </message>
    <message>
        <source>无法开始录像。</source>
        <translation>Recording could not start.</translation>
    </message>
    <message>
        <source>录像已提前停止: 磁盘空间不足。已录制的部分已保存。</source>
        <translation>Recording stopped early: the disk is full. What was recorded is saved.</translation>
    </message>
    <message>
        <source>录像已提前停止。已录制的部分已保存。</source>
        <translation>Recording stopped early. What was recorded is saved.</translation>
    </message>
    <message>
        <source>摄像头有数据传来, 但画面无法显示。</source>
        <translation>Data arrives from the camera, but its pictures cannot be shown.</translation>
    </message>
    <message>
        <source>程序文件夹不可写入, 照片和录像将保存到:
%1</source>
        <translation>The program folder cannot be written to; photos and videos now go to:
%1</translation>
    </message>
    <message>
        <source>拍照 (空格键)</source>
        <translation>Take a photo (Space)</translation>
    </message>
    <message>
        <source>开始录像 (R)</source>
        <translation>Start recording (R)</translation>
    </message>
    <message>
        <source>停止录像 (R)</source>
        <translation>Stop recording (R)</translation>
    </message>
    <message>
        <source>暂停录像 (P)</source>
        <translation>Pause recording (P)</translation>
    </message>
    <message>
        <source>继续录像 (P)</source>
        <translation>Resume recording (P)</translation>
    </message>
    <message>
        <source>倒计时: 关 (T)</source>
        <translation>Countdown: off (T)</translation>
    </message>
    <message>
        <source>倒计时: %1 秒 (T)</source>
        <translation>Countdown: %1 s (T)</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>最小化</source>
        <translation>Minimise</translation>
    </message>
    <message>
        <source>最大化</source>
        <translation>Maximise</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>最新拍摄: %1
单击打开所在文件夹</source>
        <translation>Newest capture: %1
Click to open its folder</translation>
    </message>
    <message>
        <source>还没有照片或录像</source>
        <translation>No photo or video yet</translation>
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
