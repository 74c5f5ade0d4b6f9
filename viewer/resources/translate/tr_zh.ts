<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>AboutUI</name>
    <message>
        <source>返回 (Esc)</source>
        <translation>返回 (Esc)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>照片未保存: 磁盘空间不足。</source>
        <translation>照片未保存: 磁盘空间不足。</translation>
    </message>
    <message>
        <source>照片未保存: 没有写入权限。</source>
        <translation>照片未保存: 没有写入权限。</translation>
    </message>
    <message>
        <source>照片未保存。</source>
        <translation>照片未保存。</translation>
    </message>
    <message>
        <source>无法开始录像: 磁盘空间不足。</source>
        <translation>无法开始录像: 磁盘空间不足。</translation>
    </message>
    <message>
        <source>无法开始录像: 没有写入权限。</source>
        <translation>无法开始录像: 没有写入权限。</translation>
    </message>
    <message>
        <source>无法开始录像。</source>
        <translation>无法开始录像。</translation>
    </message>
    <message>
        <source>录像已提前停止: 磁盘空间不足。已录制的部分已保存。</source>
        <translation>录像已提前停止: 磁盘空间不足。已录制的部分已保存。</translation>
    </message>
    <message>
        <source>录像已提前停止。已录制的部分已保存。</source>
        <translation>录像已提前停止。已录制的部分已保存。</translation>
    </message>
    <message>
        <source>摄像头有数据传来, 但画面无法显示。</source>
        <translation>摄像头有数据传来, 但画面无法显示。</translation>
    </message>
    <message>
        <source>程序文件夹不可写入, 照片和录像将保存到:
%1</source>
        <translation>程序文件夹不可写入, 照片和录像将保存到:
%1</translation>
    </message>
    <message>
        <source>拍照 (空格键)</source>
        <translation>拍照 (空格键)</translation>
    </message>
    <message>
        <source>开始录像 (R)</source>
        <translation>开始录像 (R)</translation>
    </message>
    <message>
        <source>停止录像 (R)</source>
        <translation>停止录像 (R)</translation>
    </message>
    <message>
        <source>暂停录像 (P)</source>
        <translation>暂停录像 (P)</translation>
    </message>
    <message>
        <source>继续录像 (P)</source>
        <translation>继续录像 (P)</translation>
    </message>
    <message>
        <source>倒计时: 关 (T)</source>
        <translation>倒计时: 关 (T)</translation>
    </message>
    <message>
        <source>倒计时: %1 秒 (T)</source>
        <translation>倒计时: %1 秒 (T)</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>最小化</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>最大化</source>
        <translation>最大化</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>最新拍摄: %1
单击打开所在文件夹</source>
        <translation>最新拍摄: %1
单击打开所在文件夹</translation>
    </message>
    <message>
        <source>还没有照片或录像</source>
        <translation>还没有照片或录像</translation>
    </message>
</context>
</TS>
